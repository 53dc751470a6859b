// Queue order, Save, the queue warning and Stop, with the machine's real threads.
#include "TestMachine.h"

#include "testsupport/RecordingAppender.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using testsupport::ScopedRecorder;
using testsupport::WaitFor;

namespace {

void Put(CTestMachine& machine, std::int32_t number, bool atBack = true, const std::string& text = "")
{
    CTRXSignal* signal = MakeSignal(number, text);
    machine.PutExternal(&signal, atBack);
    EXPECT_EQ(signal, nullptr);  // the queue owns it now
}

}  // namespace

TEST(Queues, FrontInsertsAreTakenBeforeTheBackAndLatestFirst)
{
    CTestMachine machine("m", nullptr, 0);
    Put(machine, 1, true);
    Put(machine, 2, true);
    Put(machine, 3, false);
    Put(machine, 4, false);
    machine.Start(0);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 4; }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "4", "3", "1", "2" }));
}

TEST(Queues, InternalSignalsGoBeforeTheNextExternalOne)
{
    CTestMachine machine("m", nullptr, 0);
    machine.onInit = [](CTestMachine& m) { m.PutInternal(MakeSignal(10)); };
    machine.onSignal[20] = [](CTestMachine& m) {
        m.PutInternal(MakeSignal(21));
        m.PutInternal(MakeSignal(22));
    };
    Put(machine, 20);
    Put(machine, 30);
    machine.Start(0);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 5; }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "10", "20", "21", "22", "30" }));
}

TEST(Queues, SavedSignalsReturnInOrderAfterAChangeOfState)
{
    CTestMachine machine("m", nullptr, 0);
    // GO's job leaves a signal in the internal queue; the saved ones must still come first.
    machine.onSignal[GO] = [](CTestMachine& m) { m.PutInternal(MakeSignal(77)); };
    Put(machine, SAVE_A, true, "a");
    Put(machine, SAVE_B, true, "b");
    Put(machine, STAY);  // keeps the state: the signals stay saved
    Put(machine, GO);
    machine.Start(0);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 5; }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "302", "100", "300:a", "301:b", "77" }));
    EXPECT_EQ(machine.CurrentState(), T_BUSY);
}

TEST(Queues, ReportsEveryExternalSignalBeyondTen)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    {
        CTestMachine machine("m", &trace, 0);  // the warning does not depend on the mask
        for (int i = 0; i < 12; ++i) {
            Put(machine, ZELIX_170, true, "payload");
        }
    }  // never started: the queued signals and payloads are released by the destructor
    EXPECT_EQ(recorder.lines(), (std::vector<std::string> {
                                    "\n*ExternalQ Input: ZELIX_170. Queue size: 11\n",
                                    "\n*ExternalQ Input: ZELIX_170. Queue size: 12\n",
                                }));
}

TEST(Queues, StopEndsAnIdleMachineQuickly)
{
    auto machine = std::make_unique<CTestMachine>("m", nullptr, 0);
    machine->Start(0);
    Put(*machine, STAY);
    ASSERT_TRUE(WaitFor([&] { return machine->SeenCount() == 1; }));
    const auto started = std::chrono::steady_clock::now();
    machine->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    machine.reset();
}

TEST(Queues, SignalsLeftInQueuesAtStopAreReleased)
{
    // Run under the sanitizers, this proves that nothing queued leaks or is freed twice.
    CTestMachine machine("m", nullptr, 0);
    machine.onSignal[STAY] = [](CTestMachine& m) {
        m.PutInternal(MakeSignal(SAVE_A, "saved"));
        m.StartTimer(ZELIX_24, 60000, CopyPayload("timer", 5), 5);
    };
    machine.Start(0);
    Put(machine, STAY);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 1 && machine.RunningTimers() == 1; }));
    machine.Stop();
    for (int i = 0; i < 3; ++i) {
        Put(machine, ZELIX_170, true, "late");
    }
}

TEST(Queues, ManyProducersLoseNothing)
{
    CTestMachine machine("m", nullptr, 0);
    machine.Start(0);
    constexpr int Producers = 4;
    constexpr int Each = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < Producers; ++p) {
        producers.emplace_back([&machine] {
            for (int i = 0; i < Each; ++i) {
                Put(machine, STAY, true, "x");
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    EXPECT_TRUE(WaitFor([&] { return machine.SeenCount() == Producers * Each; }, std::chrono::seconds(30)));
}

// Signals queued quietly wait for WakeForQueued, which wakes the waiting input
// thread once for the whole batch; every one of them is then taken, in order,
// also while another producer queues with a wake-up each.
TEST(Queues, ABatchQueuedQuietlyIsTakenWholeAndInOrderAfterOneWake)
{
    CTestMachine machine("m", nullptr, 0);
    machine.Start(0);
    ASSERT_TRUE(WaitFor([&] { return machine.ExternalLoad()->signalCount.load() == 0; }));
    for (int i = 1; i <= 5; ++i) {
        CTRXSignal* signal = MakeSignal(i, "");
        EXPECT_TRUE(machine.PutExternalBoundedQuietly(&signal));
        EXPECT_EQ(signal, nullptr);
    }
    machine.WakeForQueued();
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 5; }));
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "1", "2", "3", "4", "5" }));

    constexpr int Batches = 200;
    constexpr int PerBatch = 16;
    std::thread batches([&machine] {
        for (int b = 0; b < Batches; ++b) {
            for (int i = 0; i < PerBatch; ++i) {
                CTRXSignal* signal = MakeSignal(STAY, "q");
                machine.PutExternalBoundedQuietly(&signal);
            }
            machine.WakeForQueued();
        }
    });
    for (int i = 0; i < Batches; ++i) {
        Put(machine, STAY, true, "x");
    }
    batches.join();
    EXPECT_TRUE(WaitFor([&] { return machine.SeenCount() == 5 + Batches * (PerBatch + 1); },
                        std::chrono::seconds(30)));
}

// The input and timer threads carry the machine's name for `top -H`; a name
// from the database reaches the kernel only in plain characters and cut short.
TEST(Queues, ThreadsCarryThePlainPartOfTheMachinesName)
{
    CTestMachine machine("bad name\x1b[31m_with-ctl", nullptr, 0);
    EXPECT_EQ(machine.ThreadName("in"), "badname31m_:in");
    machine.Start(0);
    std::vector<std::string> names;
    EXPECT_TRUE(WaitFor([&] {
        names.clear();
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream comm(task.path() / "comm");
            std::string name;
            std::getline(comm, name);
            names.push_back(name);
        }
        return std::count(names.begin(), names.end(), "badname31m_:in") == 1 &&
               std::count(names.begin(), names.end(), "badname31m_:tm") == 1;
    }));
}
