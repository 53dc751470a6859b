// The bound of the external queue for network signals: a flood behind a job
// that blocks, the drops counted, one report per episode, the trace rate, and
// signals between machines that always go in.
#include "TestMachine.h"

#include "testsupport/RecordingAppender.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

using testsupport::ScopedRecorder;
using testsupport::WaitFor;

namespace {

// A started machine whose input thread is held in a STAY job until Release,
// so that nothing leaves the external queue.
struct HeldMachine {
    explicit HeldMachine(LogTrace* trace = nullptr) : machine("held", trace, 0)
    {
        machine.onSignal[STAY] = [this](CTestMachine&) { WaitFor([this] { return !held; }, std::chrono::minutes(2)); };
        machine.Start(0);
        Hold();
    }
    ~HeldMachine() { Release(); }

    void Release() { held = false; }
    void Hold()
    {
        held = true;
        const std::size_t seen = machine.SeenCount();
        CTRXSignal* signal = MakeSignal(STAY);
        machine.PutExternal(&signal, true);
        EXPECT_TRUE(WaitFor([&] { return machine.SeenCount() == seen + 1; }));
    }

    // Bounded puts of `count` network signals; how many went in.
    std::size_t Flood(std::size_t count, std::size_t payloadSize = 20)
    {
        const std::string payload(payloadSize, 'h');
        std::size_t queued = 0;
        for (std::size_t i = 0; i < count; ++i) {
            CTRXSignal* signal = MakeSignal(ZELIX_170, payload);
            queued += machine.PutExternalBounded(&signal) ? 1 : 0;
            EXPECT_EQ(signal, nullptr);  // queued or deleted: never the caller's any more
        }
        return queued;
    }

    std::atomic<bool> held { false };
    CTestMachine machine;
};

std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& part)
{
    std::vector<std::string> found;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
                 [&](const std::string& line) { return line.find(part) != std::string::npos; });
    return found;
}

}  // namespace

TEST(QueueBound, AFloodBehindABlockedJobIsCutAtTheBoundAndReportedOncePerEpisode)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    HeldMachine held(&trace);
    CTestMachine& machine = held.machine;

    constexpr std::size_t Excess = 1000;
    EXPECT_EQ(held.Flood(ExternalQueueSignalBound + Excess), ExternalQueueSignalBound);
    EXPECT_EQ(machine.DroppedInput(), Excess);
    EXPECT_EQ(machine.ExternalLoad()->signalCount.load(), ExternalQueueSignalBound);

    // Signals between machines still go in, at the back and at the front.
    for (int i = 0; i < 3; ++i) {
        CTRXSignal* relayed = MakeSignal(FINISH, "relay");
        machine.PutExternal(&relayed, true);
    }
    CTRXSignal* wakeUp = MakeSignal(FSM_TIMEHANDL);
    machine.PutExternal(&wakeUp, false);

    // The flood took well under a second: one drop line, naming the machine.
    const std::vector<std::string> dropLines = LinesWith(recorder.lines(), "dropped by");
    ASSERT_EQ(dropLines.size(), 1U);
    EXPECT_EQ(dropLines[0], "\n*ExternalQ Input: ZELIX_170 dropped by held, queue full. Queue size: 16384, " +
                                std::to_string(ExternalQueueSignalBound * (sizeof(CTRXSignal) + 20)) +
                                " bytes, 1 dropped so far\n");
    EXPECT_EQ(machine.dropReports.load(), 0);  // the input thread is still in the job

    held.Release();
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 1 + ExternalQueueSignalBound + 3; },
                        std::chrono::seconds(60)));
    EXPECT_EQ(machine.dropReports.load(), 1);
    EXPECT_EQ(machine.droppedAtReport.load(), Excess);
    EXPECT_EQ(machine.ExternalLoad()->signalCount.load(), 0U);
    EXPECT_EQ(machine.ExternalLoad()->byteCount.load(), 0U);
    EXPECT_EQ(LinesWith(recorder.lines(), "takes input again"),
              (std::vector<std::string> { "\n*ExternalQ Input: held takes input again, 1000 dropped while full\n" }));
    const std::vector<std::string> seen = machine.Seen();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "400:relay"), 3);

    // Drained: network signals go in again. A second flood is a second episode.
    EXPECT_EQ(held.Flood(10), 10U);
    ASSERT_TRUE(WaitFor([&] { return machine.SeenCount() == 1 + ExternalQueueSignalBound + 3 + 10; }));
    held.Hold();
    EXPECT_EQ(held.Flood(ExternalQueueSignalBound + 1), ExternalQueueSignalBound);
    held.Release();
    ASSERT_TRUE(WaitFor([&] { return machine.dropReports.load() == 2; }, std::chrono::seconds(60)));
    EXPECT_EQ(machine.droppedAtReport.load(), Excess + 1);
}

TEST(QueueBound, LargeDatagramsAreCutByTheByteBound)
{
    HeldMachine held;
    constexpr std::size_t Largest = 65535;
    const std::size_t queued = held.Flood(1000, Largest);
    EXPECT_EQ(queued, ExternalQueueByteBound / (Largest + sizeof(CTRXSignal)));
    EXPECT_LE(held.machine.ExternalLoad()->byteCount.load(), ExternalQueueByteBound);
    EXPECT_EQ(held.machine.DroppedInput(), 1000 - queued);
}

TEST(QueueBound, ARelayingMachineTakesNoNetworkInputWhileTheQueueItFeedsIsFull)
{
    HeldMachine logger;
    CTestMachine supervisor("supervisor", nullptr, 0);
    supervisor.WatchQueueOf(logger.machine);
    supervisor.Start(0);

    // Relays fill the logger's queue: they are never refused.
    for (std::size_t i = 0; i < ExternalQueueSignalBound; ++i) {
        CTRXSignal* relayed = MakeSignal(STAY);
        logger.machine.PutExternal(&relayed, true);
    }
    EXPECT_EQ(logger.Flood(1), 0U);

    CTRXSignal* sentence = MakeSignal(STAY, "$ZELIX,170");
    EXPECT_FALSE(supervisor.PutExternalBounded(&sentence));
    EXPECT_EQ(sentence, nullptr);
    EXPECT_EQ(supervisor.DroppedInput(), 1U);
    // The supervisor is idle: the drop alone wakes it to report.
    ASSERT_TRUE(WaitFor([&] { return supervisor.dropReports.load() == 1; }));
    EXPECT_EQ(supervisor.SeenCount(), 0U);

    logger.Release();
    ASSERT_TRUE(WaitFor([&] { return logger.machine.ExternalLoad()->signalCount.load() == 0; },
                        std::chrono::seconds(60)));
    sentence = MakeSignal(STAY, "$ZELIX,170");
    EXPECT_TRUE(supervisor.PutExternalBounded(&sentence));
    EXPECT_TRUE(WaitFor([&] { return supervisor.SeenCount() == 1; }));
    EXPECT_EQ(supervisor.dropReports.load(), 1);
}
