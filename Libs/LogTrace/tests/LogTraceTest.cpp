#include "LogTrace/LogTrace.h"

#include "testsupport/RecordingAppender.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

using testsupport::ScopedRecorder;

TEST(LogTrace, WritesFormattedTextToTheLoggerAndConsole)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    trace.SetConsole(true);
    testing::internal::CaptureStderr();
    trace.Append("value %d of %s", 7, "x");
    trace.AppendText("100% plain");
    const std::string console = testing::internal::GetCapturedStderr();

    EXPECT_EQ(recorder.lines(), (std::vector<std::string> { "value 7 of x", "100% plain" }));
    EXPECT_EQ(console, "value 7 of x\n100% plain\n");
}

TEST(LogTrace, WritesNothingWhenDisabledAndConsoleOff)
{
    ScopedRecorder recorder("LogTrace", log4cplus::INFO_LOG_LEVEL);
    LogTrace trace;
    testing::internal::CaptureStderr();
    trace.Append("hidden");
    trace.Append("hidden again");  // the lock was released by the first call
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(recorder.lines().empty());
}

TEST(LogTrace, CutsTextsLongerThanTheBuffer)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    const std::string longText(LogTrace::BufferSize + 100, 'a');
    trace.AppendText(longText.c_str());
    ASSERT_EQ(recorder.lines().size(), 1u);
    EXPECT_EQ(recorder.lines()[0].size(), static_cast<std::size_t>(LogTrace::BufferSize - 1));
}

TEST(LogTrace, KeepsLinesOfConcurrentThreadsWhole)
{
    ScopedRecorder recorder("LogTrace");
    LogTrace trace;
    constexpr int Threads = 4;
    constexpr int Lines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&trace, t] {
            const std::string body(500, static_cast<char>('a' + t));
            for (int i = 0; i < Lines; ++i) {
                trace.Append("%d:%s", t, body.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = recorder.lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(Threads * Lines));
    for (const auto& line : lines) {
        ASSERT_EQ(line.size(), 502u);
        const char mark = line[2];
        EXPECT_EQ(line.find_first_not_of(mark, 2), std::string::npos);
    }
}
