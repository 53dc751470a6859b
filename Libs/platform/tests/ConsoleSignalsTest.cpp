#include "platform/ConsoleSignals.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::mutex g_mutex;
std::vector<int> g_seen;
std::vector<std::thread::id> g_threads;

void Record(int signalNumber)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.push_back(signalNumber);
    g_threads.push_back(std::this_thread::get_id());
}

void RecordScaled(int signalNumber)
{
    Record(signalNumber * 100);
}

std::size_t SeenCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen.size();
}

}  // namespace

TEST(ConsoleSignals, HandlersRunInTheDispatchThreadForEveryDelivery)
{
    ASSERT_TRUE(platform::InstallConsoleHandler(SIGINT, &Record));
    ASSERT_TRUE(platform::InstallConsoleHandler(SIGTERM, &Record));

    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(::raise(i % 2 == 0 ? SIGINT : SIGTERM), 0);
    }
    ASSERT_TRUE(testsupport::WaitFor([] { return SeenCount() == 20; }));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(g_seen[i], i % 2 == 0 ? SIGINT : SIGTERM);
            // raise() runs the asynchronous handler in this thread; the function
            // itself must have run elsewhere, in the one dispatch thread.
            EXPECT_NE(g_threads[i], std::this_thread::get_id());
            EXPECT_EQ(g_threads[i], g_threads[0]);
        }
    }

    // Installing again replaces the function; the process survives the signal.
    ASSERT_TRUE(platform::InstallConsoleHandler(SIGINT, &RecordScaled));
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_TRUE(testsupport::WaitFor([] { return SeenCount() == 21; }));
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_seen.back(), SIGINT * 100);

    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
}
