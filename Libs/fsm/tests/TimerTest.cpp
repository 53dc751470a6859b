// One-shot timers with the machine's real timer thread. Bounds are generous:
// only the lower bounds follow from the tick count, the upper ones allow for a
// loaded machine.
#include "TestMachine.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono;
using testsupport::WaitFor;

namespace {

constexpr std::int32_t TIMER_A = 500;
constexpr std::int32_t TIMER_B = 501;
constexpr std::int32_t SENTINEL = 502;

bool Contains(const std::vector<std::string>& seen, const std::string& entry)
{
    return std::find(seen.begin(), seen.end(), entry) != seen.end();
}

}  // namespace

TEST(Timers, DelayZeroExpiresAtTheNextTickNotAtOnce)
{
    CTestMachine machine("m", nullptr, 0);
    machine.onInit = [](CTestMachine& m) { m.StartTimer(TIMER_A, 0, CopyPayload("t0", 2), 2); };
    machine.Start(0);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 1; }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "500:t0" }));
    EXPECT_EQ(machine.RunningTimers(), 0u);
}

TEST(Timers, Delay250ExpiresOnTheThirdTick)
{
    CTestMachine machine("m", nullptr, 0);
    steady_clock::time_point started;
    machine.onInit = [&started](CTestMachine& m) {
        started = steady_clock::now();
        m.StartTimer(TIMER_A, 250);
    };
    machine.Start(0);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 1; }));
    const auto elapsed = steady_clock::now() - started;
    EXPECT_GE(elapsed, milliseconds(200));  // 250 -> 150 -> 50 -> -50: never before two full ticks
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "500" }));
}

TEST(Timers, StopCancelsEveryTimerOfTheNumber)
{
    CTestMachine machine("m", nullptr, 0);
    machine.onInit = [](CTestMachine& m) {
        m.StartTimer(TIMER_A, 200, CopyPayload("one", 3), 3);
        m.StartTimer(TIMER_A, 200, CopyPayload("two", 3), 3);
        m.StartTimer(TIMER_B, 200);
        m.StopTimer(TIMER_A);
        m.StartTimer(SENTINEL, 600);
    };
    machine.Start(0);
    ASSERT_TRUE(WaitFor([&] { return Contains(machine.Seen(), "502"); }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "501", "502" }));
}

TEST(Timers, StopWithdrawsAnExpiryWaitingInTheInternalQueue)
{
    CTestMachine machine("m", nullptr, 0);
    // The job runs until the timer has expired into the internal queue, then stops it.
    machine.onSignal[STAY] = [](CTestMachine& m) {
        m.StartTimer(TIMER_A, 0, CopyPayload("late", 4), 4);
        ASSERT_TRUE(WaitFor([&] { return m.RunningTimers() == 0; }));
        m.StopTimer(TIMER_A);
        m.StartTimer(SENTINEL, 300);
    };
    machine.Start(0);
    CTRXSignal* signal = MakeSignal(STAY);
    machine.PutExternal(&signal, true);
    ASSERT_TRUE(WaitFor([&] { return Contains(machine.Seen(), "502"); }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "302", "502" }));
}

TEST(Timers, StopWithdrawsInternalSignalsByNumberWhateverTheirOrigin)
{
    CTestMachine machine("m", nullptr, 0);
    machine.onSignal[STAY] = [](CTestMachine& m) {
        m.PutInternal(MakeSignal(DB_READ_ERROR, "db"));
        m.PutInternal(MakeSignal(DB_READ_COMPL));
        m.StopTimer(DB_READ_ERROR);
    };
    machine.Start(0);
    CTRXSignal* signal = MakeSignal(STAY);
    machine.PutExternal(&signal, true);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 2; }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "302", "52002" }));
}
