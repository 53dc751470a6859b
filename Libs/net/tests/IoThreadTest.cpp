#include "net/IoThread.h"
#include "net/SendSentence.h"
#include "net/UdpReceiver.h"

#include "testsupport/TestUtils.h"

#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using testsupport::WaitFor;

namespace {

// How often the end handler ran, and on which thread.
struct EndRecord {
    std::atomic<int> calls { 0 };
    std::atomic<std::thread::id> thread;
    IoThread::EndHandler Handler()
    {
        return [this] {
            thread = std::this_thread::get_id();
            ++calls;
        };
    }
};

// The thread that runs the runner's handlers.
std::thread::id HandlerThread(IoThread& runner)
{
    std::atomic<std::thread::id> id;
    std::atomic<bool> done { false };
    boost::asio::post(runner.context(), [&] {
        id = std::this_thread::get_id();
        done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    return id;
}

void Send(std::uint16_t port, const std::string& text)
{
    ASSERT_TRUE(sendSentence(text, "127.0.0.1:" + std::to_string(port), 0));
}

}  // namespace

// A heave logger closes its receiver and builds a new one when the port changes.
// Between the two no receive is pending; the runner must keep running regardless.
TEST(IoThread, ReceiverOpenedAfterTheLastOneClosedStillReceives)
{
    IoThread runner;
    EndRecord end;
    std::atomic<int> received { 0 };
    auto first = std::make_unique<UdpReceiver>(runner.context());
    first->openOnPort(0);
    runner.start(end.Handler());  // after the first open, as a machine's InitJob does
    first->setReceiveHandler([&](const char*, std::size_t) { ++received; });
    Send(first->localPort(), "one");
    ASSERT_TRUE(WaitFor([&] { return received == 1; }));
    first.reset();  // the aborted receive completes: the context has no work left

    // Without the work guard, run() would return now; give it every chance to.
    EXPECT_FALSE(WaitFor([&] { return end.calls > 0; }, std::chrono::milliseconds(300)));
    EXPECT_TRUE(runner.running());

    UdpReceiver second(runner.context());
    second.openOnPort(0);
    second.setReceiveHandler([&](const char*, std::size_t) { ++received; });
    Send(second.localPort(), "two");
    EXPECT_TRUE(WaitFor([&] { return received == 2; }));
    EXPECT_EQ(end.calls, 0);
}

TEST(IoThread, StopCallsTheEndHandlerOnceOnTheIoThreadAndJoins)
{
    IoThread runner;
    EXPECT_FALSE(runner.running());
    EndRecord end;
    EndRecord ignored;
    runner.start(end.Handler());
    runner.start(ignored.Handler());  // a second start does nothing
    EXPECT_TRUE(runner.running());
    const std::thread::id ioThread = HandlerThread(runner);
    EXPECT_NE(ioThread, std::this_thread::get_id());

    runner.stop();
    // Joined: the end handler has run by the time stop() returns.
    EXPECT_EQ(end.calls, 1);
    EXPECT_EQ(end.thread, ioThread);
    EXPECT_FALSE(runner.running());

    runner.stop();
    runner.start(ignored.Handler());  // no restart after stop
    EXPECT_FALSE(runner.running());
    EXPECT_EQ(end.calls, 1);
    EXPECT_EQ(ignored.calls, 0);

    // Runners that never started stop and go quietly.
    IoThread idle;
    idle.stop();
    idle.stop();
    EXPECT_FALSE(idle.running());
    IoThread untouched;
}

TEST(IoThread, StopFromAHandlerEndsTheThreadWithoutJoiningItself)
{
    IoThread runner;
    EndRecord end;
    runner.start(end.Handler());
    boost::asio::post(runner.context(), [&runner] { runner.stop(); });
    ASSERT_TRUE(WaitFor([&] { return !runner.running(); }));
    EXPECT_EQ(end.calls, 1);
    runner.stop();  // joins the ended thread
    EXPECT_EQ(end.calls, 1);
}

TEST(IoThread, AHandlerExceptionIsReportedAndTheThreadGoesOn)
{
    IoThread runner;
    std::mutex mutex;
    std::vector<std::string> log;
    runner.setLogHandler([&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(text);
    });
    EndRecord end;
    runner.start(end.Handler());

    std::atomic<bool> later { false };
    boost::asio::post(runner.context(), [] { throw std::runtime_error("bad datagram"); });
    boost::asio::post(runner.context(), [] { throw 42; });
    boost::asio::post(runner.context(), [&] { later = true; });
    ASSERT_TRUE(WaitFor([&] { return later.load(); }));
    EXPECT_TRUE(runner.running());
    EXPECT_EQ(end.calls, 0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(log, (std::vector<std::string> { "IoThread: a handler failed: bad datagram",
                                                   "IoThread: a handler failed with an unknown exception" }));
    }
    runner.stop();
    EXPECT_EQ(end.calls, 1);
}
