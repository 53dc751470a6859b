// Dispatch through the job tables and the trace lines, without threads: the
// test calls Dispatch directly, as the input thread would.
#include "TestMachine.h"

#include "testsupport/RecordingAppender.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::ScopedRecorder;

namespace {

std::string Blanks(std::size_t n) { return std::string(n, ' '); }

bool DispatchOne(CTestMachine& machine, CTRXSignal* signal)
{
    const bool changed = machine.Dispatch(&signal);
    DeleteSignal(signal);
    return changed;
}

}  // namespace

TEST(Dispatch, FollowsTheFirstMatchingRowOrTheDefault)
{
    CTestMachine machine("m", nullptr, 0);
    EXPECT_EQ(machine.CurrentState(), T_IDLE);

    EXPECT_FALSE(DispatchOne(machine, MakeSignal(STAY)));
    EXPECT_FALSE(DispatchOne(machine, MakeSignal(0)));     // no row: default job, same state
    EXPECT_TRUE(DispatchOne(machine, MakeSignal(GO)));     // first of two GO rows
    EXPECT_EQ(machine.CurrentState(), T_BUSY);
    EXPECT_FALSE(DispatchOne(machine, MakeSignal(GO)));    // BUSY has no rows at all
    EXPECT_EQ(machine.CurrentState(), T_BUSY);
    EXPECT_EQ(machine.Seen(), (std::vector<std::string> { "302", "0", "100", "100" }));
}

TEST(Dispatch, AJobThatKeepsTheSignalOwnsIt)
{
    CTestMachine machine("m", nullptr, 0);
    CTRXSignal* signal = MakeSignal(KEEP, "kept");
    machine.Dispatch(&signal);
    EXPECT_EQ(signal, nullptr);
    ASSERT_NE(machine.kept, nullptr);
    EXPECT_EQ(machine.kept->GetNumber(), KEEP);
    DeleteSignal(machine.kept);
}

TEST(Dispatch, WritesNoTraceWithoutATraceObject)
{
    ScopedRecorder recorder("LogTrace");
    CTestMachine machine("m", nullptr, 31);
    EXPECT_EQ(machine.DebugMask(), 159);
    DispatchOne(machine, MakeSignal(GO));
    EXPECT_TRUE(recorder.lines().empty());
    EXPECT_EQ(machine.CurrentState(), T_BUSY);
}

TEST(Dispatch, MaskZeroStoresZeroAndWritesNothing)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    CTestMachine machine("m", &trace, 0);
    EXPECT_EQ(machine.DebugMask(), 0);
    DispatchOne(machine, MakeSignal(GO));
    machine.TraceData("x");
    EXPECT_TRUE(recorder.lines().empty());
}

TEST(Dispatch, MaskFourWritesTheMachineHeadAndJobLines)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    CTestMachine machine("Test", &trace, 4);
    EXPECT_EQ(machine.DebugMask(), 132);
    DispatchOne(machine, MakeSignal(GO));
    machine.TraceData("not written");
    EXPECT_EQ(recorder.lines(), (std::vector<std::string> {
                                    "\n\n*F: Test" + Blanks(8) + " ",
                                    "*F: Test" + Blanks(8) + Blanks(22) + "Job: JobGo",
                                }));
}

TEST(Dispatch, MaskThirtyOneWritesEveryLine)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    CTestMachine machine("Test", &trace, 31);
    DispatchOne(machine, MakeSignal(GO));          // row found
    DispatchOne(machine, MakeSignal(ZELIX_6));     // BUSY: default row
    const std::string head = "\n\n*F: Test         ";
    EXPECT_EQ(recorder.lines(), (std::vector<std::string> {
                                    head + "S: 100               St:  T_IDLE          --> T_BUSY         ",
                                    "*F: Test" + Blanks(8 + 22) + "Job: JobGo",
                                    head + "S: ZELIX_6           ASt: T_BUSY          --> T_BUSY         ",
                                    "*F: Test" + Blanks(8 + 22) + "Job: JobRecord",
                                }));
}

TEST(Trace, NamesAreCutOrPaddedToTwelve)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    CTestMachine machine("AVeryLongMachineName", &trace, 8);
    machine.TraceData("%d%%", 5);
    EXPECT_EQ(recorder.lines(), (std::vector<std::string> { "*F: AVeryLongMac" + Blanks(22) + "Data: 5%" }));
}

TEST(Trace, DataLinesAreCutToTheirBuffer)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    CTestMachine machine("m", &trace, 8);
    const std::string longText(5000, 'd');
    machine.TraceData("%s", longText.c_str());
    ASSERT_EQ(recorder.lines().size(), 1u);
    EXPECT_EQ(recorder.lines()[0].size(), 1999u);
}

TEST(Trace, TimerLinesShowSignalAndDelay)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    CTestMachine machine("Timers", &trace, 16);
    machine.StartTimer(NEW_FILE_TIMEOUT, 1800000);
    machine.StopTimer(NEW_FILE_TIMEOUT);
    machine.StartTimer(WAIT_DATA_TIMEOUT, 20000);
    machine.StopTimer(WAIT_DATA_TIMEOUT);
    const std::string head = "*F: Timers      " + Blanks(22);
    EXPECT_EQ(recorder.lines(), (std::vector<std::string> {
                                    head + "T+:  NEW_FILE_TIMEOUT   Delay: 1800000",
                                    head + "T-:  NEW_FILE_TIMEOUT   Delay: 0",
                                    head + "T+:  WAIT_DATA_TIMEOUT  Delay: 20000",
                                    head + "T-:  WAIT_DATA_TIMEOUT  Delay: 0",
                                }));
    EXPECT_EQ(machine.RunningTimers(), 0u);
}
