#include "net/ControlSentence.h"
#include "net/IoThread.h"
#include "net/SendSentence.h"
#include "net/SourceAllowList.h"
#include "net/UdpReceiver.h"

#include "fsm/SignalNames.h"
#include "testsupport/RecordingMachine.h"
#include "testsupport/TestUtils.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using boost::asio::ip::udp;
using testsupport::WaitFor;

namespace {

// A started runner, as a state machine's InitJob starts its I/O thread.
class StartedIoThread : public IoThread {
public:
    StartedIoThread() { start(nullptr); }
};

// What a receiver's handlers were given.
class Recorder {
public:
    void Attach(UdpReceiver& receiver)
    {
        receiver.setLogHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_log.push_back(text);
        });
        receiver.setReceiveHandler([this](const char* bytes, std::size_t length) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_datagrams.emplace_back(bytes, length);
        });
    }
    std::vector<std::string> Datagrams() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_datagrams;
    }
    std::size_t Count() const { return Datagrams().size(); }
    std::vector<std::string> Log() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }
    void ClearLog()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_datagrams;
    std::vector<std::string> m_log;
};

// A plain client socket on 127.0.0.1.
class Sender {
public:
    Sender() : m_socket(m_io, udp::v4()) {}
    void Send(std::uint16_t port, const std::string& bytes)
    {
        m_socket.send_to(boost::asio::buffer(bytes.data(), bytes.size()),
                         udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port));
    }

private:
    boost::asio::io_context m_io;
    udp::socket m_socket;
};

// A socket bound to `port` without reuse-address: binds only while no other
// socket holds the port.
class Probe {
public:
    explicit Probe(std::uint16_t port) : m_socket(m_io, udp::v4())
    {
        m_socket.bind(udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port));
    }
    std::uint16_t Port() const { return m_socket.local_endpoint().port(); }
    // Waits (bounded) for one datagram and returns it.
    std::string Receive()
    {
        std::vector<char> buffer(70000);
        m_socket.non_blocking(true);
        std::string received;
        WaitFor([&] {
            boost::system::error_code error;
            const std::size_t length = m_socket.receive(boost::asio::buffer(buffer), 0, error);
            if (error) {
                return false;
            }
            received.assign(buffer.data(), length);
            return true;
        });
        return received;
    }

private:
    boost::asio::io_context m_io;
    udp::socket m_socket;
};

std::uint16_t FreePort()
{
    Probe probe(0);
    return probe.Port();
}

}  // namespace

TEST(UdpReceiver, OpenLogsItsStepsAndDeliversTheLargestDatagramWhole)
{
    StartedIoThread thread;
    Recorder recorder;
    UdpReceiver receiver(thread.context());
    recorder.Attach(receiver);
    const std::uint16_t port = FreePort();
    receiver.openOnPort(port);
    EXPECT_EQ(receiver.localPort(), port);

    std::vector<std::string> log = recorder.Log();
    const std::string bufferLine = "Receive buffer size is " + std::to_string(receiver.receiveBufferSize()) +
                                   " bytes, less than the 32000000 asked for";
    if (receiver.receiveBufferSize() < UdpReceiver::SocketBufferBytes) {
        ASSERT_EQ(log.size(), 5u);
        EXPECT_EQ(log[3], bufferLine);
        log.erase(log.begin() + 3);
    }
    EXPECT_EQ(log, (std::vector<std::string> { "Set reuse_address to true", "Bind to input port " + std::to_string(port),
                                               "Bound to input port", "UDP receive starting" }));

    std::string largest(65507, '\0');
    for (std::size_t i = 0; i < largest.size(); ++i) {
        largest[i] = static_cast<char>(i * 7 + i / 256);
    }
    Sender sender;
    sender.Send(port, largest);
    sender.Send(port, "");  // zero length: not delivered
    sender.Send(port, "after");
    ASSERT_TRUE(WaitFor([&] { return recorder.Count() >= 2; }));
    const auto datagrams = recorder.Datagrams();
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[0].size(), 65507u);
    EXPECT_EQ(datagrams[0], largest);
    EXPECT_EQ(datagrams[1], "after");
}

TEST(UdpReceiver, NothingIsDeliveredAfterClose)
{
    StartedIoThread thread;
    Recorder recorder;
    UdpReceiver receiver(thread.context());
    recorder.Attach(receiver);
    receiver.openOnPort(0);
    const std::uint16_t port = receiver.localPort();
    Sender sender;
    sender.Send(port, "one");
    ASSERT_TRUE(WaitFor([&] { return recorder.Count() == 1; }));

    receiver.closeReceiver();
    receiver.closeReceiver();  // a second close is harmless
    EXPECT_EQ(receiver.localPort(), 0);
    // The port is free again; a datagram to it reaches the probe, not the receiver.
    Probe probe(port);
    sender.Send(port, "two");
    EXPECT_EQ(probe.Receive(), "two");
    EXPECT_EQ(recorder.Count(), 1u);
}

TEST(UdpReceiver, CloseWhileDatagramsPourInEndsAllHandlerCalls)
{
    StartedIoThread thread;
    for (int round = 0; round < 30; ++round) {
        UdpReceiver receiver(thread.context());
        std::atomic<bool> closed { false };
        std::atomic<int> calls { 0 };
        std::atomic<int> callsAfterClose { 0 };
        receiver.setReceiveHandler([&](const char*, std::size_t) {
            ++calls;
            if (closed) {
                ++callsAfterClose;
            }
        });
        receiver.openOnPort(0);
        const std::uint16_t port = receiver.localPort();
        std::atomic<bool> stop { false };
        std::thread flood([&] {
            Sender sender;
            while (!stop) {
                sender.Send(port, "$ZELIX,170,flood\n\r");
            }
        });
        ASSERT_TRUE(WaitFor([&] { return calls > 5; }));
        receiver.closeReceiver();
        closed = true;
        const int atClose = calls;
        stop = true;
        flood.join();
        EXPECT_EQ(callsAfterClose, 0);
        EXPECT_EQ(calls, atClose);
    }
}

TEST(UdpReceiver, ReopenMovesToTheNewPortAndLogsItsSteps)
{
    StartedIoThread thread;
    Recorder recorder;
    UdpReceiver receiver(thread.context());
    recorder.Attach(receiver);
    receiver.openOnPort(0);
    const std::uint16_t oldPort = receiver.localPort();
    const std::uint16_t newPort = FreePort();
    recorder.ClearLog();

    receiver.reopenOnPort(newPort);
    EXPECT_EQ(receiver.localPort(), newPort);
    std::vector<std::string> log = recorder.Log();
    if (log.size() == 5u) {
        log.erase(log.begin() + 3);  // the line about a clamped receive buffer
    }
    EXPECT_EQ(log, (std::vector<std::string> { "Set reuse_address to true",
                                               "Bind to input port " + std::to_string(newPort), "Bound to input port",
                                               "Logging starting" }));

    Sender sender;
    Probe oldPortProbe(oldPort);  // binds only because the old socket is gone
    sender.Send(oldPort, "old");
    EXPECT_EQ(oldPortProbe.Receive(), "old");
    sender.Send(newPort, "new");
    ASSERT_TRUE(WaitFor([&] { return recorder.Count() == 1; }));
    EXPECT_EQ(recorder.Datagrams(), std::vector<std::string> { "new" });
}

TEST(UdpReceiver, BindFailuresNameTheOperationAndPort)
{
    StartedIoThread thread;
    Probe blocker(0);  // holds the port without reuse-address
    const std::string port = std::to_string(blocker.Port());

    UdpReceiver receiver(thread.context());
    try {
        receiver.openOnPort(blocker.Port());
        FAIL() << "bind to a taken port succeeded";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::errc::address_in_use);
        EXPECT_NE(std::string(e.what()).find("bind to input port " + port), std::string::npos) << e.what();
    }

    Recorder recorder;
    UdpReceiver other(thread.context());
    recorder.Attach(other);
    other.openOnPort(0);
    recorder.ClearLog();
    const std::uint16_t kept = other.localPort();
    EXPECT_NO_THROW(other.reopenOnPort(blocker.Port()));
    const std::vector<std::string> log = recorder.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("bind to input port " + port), std::string::npos) << log.back();
    // The receiver stays on its port and goes on receiving there.
    EXPECT_EQ(other.localPort(), kept);
    Sender sender;
    sender.Send(kept, "still here");
    ASSERT_TRUE(WaitFor([&] { return recorder.Count() == 1; }));
    EXPECT_EQ(recorder.Datagrams(), std::vector<std::string> { "still here" });
    // A later reopen to a free port works.
    other.reopenOnPort(0);
    EXPECT_NE(other.localPort(), 0);
    EXPECT_NE(other.localPort(), kept);
}

TEST(SendSentence, SendsExactlyTheSentenceBytes)
{
    Probe probe(0);
    const std::string port = std::to_string(probe.Port());
    const std::string status = StatusSentence(172, true);

    EXPECT_TRUE(sendSentence(status, "127.0.0.1:" + port, 0));
    EXPECT_EQ(probe.Receive(), std::string("$ZELIX,172,ON\n\r", 15));
    EXPECT_TRUE(sendSentence("$ZELIX,175,OFF\n\r", " 127.0.0.1 : " + port + " ", 0));
    EXPECT_EQ(probe.Receive(), "$ZELIX,175,OFF\n\r");
    EXPECT_TRUE(sendSentence(std::string("a\0b", 3), "127.0.0.1", probe.Port()));
    EXPECT_EQ(probe.Receive(), std::string("a\0b", 3));

    for (const std::string& destination : std::vector<std::string> { "localhost:" + port, "127.0.0.1", "127.0.0.1:", "127.0.0.1:abc", "127.0.0.1:70000", "", ":" + port }) {
        EXPECT_FALSE(sendSentence(status, destination, 0)) << destination;
    }
}

TEST(ControlPortRoundTrip, ReceivedSentencesBecomeSignalsAndBadOnesAreSkipped)
{
    StartedIoThread thread;
    testsupport::RecordingMachine supervisor("ORVANTA_CTRL");
    UdpReceiver receiver(thread.context());
    receiver.openOnPort(0);
    receiver.setReceiveHandler(
        [&supervisor](const char* bytes, std::size_t length) { PutControlSignal(bytes, length, &supervisor); });

    const std::string relay = "$ZELIX,170,/data/heave,heave__TOKY_.qhv,60,5602\n\r";
    const std::string port = std::to_string(receiver.localPort());
    ASSERT_TRUE(sendSentence("$ZELIX,abc,\n\r", "127.0.0.1:" + port, 0));
    ASSERT_TRUE(sendSentence("$ZELIX", "127.0.0.1:" + port, 0));
    ASSERT_TRUE(sendSentence(relay, "127.0.0.1:" + port, 0));
    ASSERT_TRUE(sendSentence("$ZELIX,24", "127.0.0.1:" + port, 0));
    ASSERT_TRUE(WaitFor([&] { return supervisor.Count() == 2; }));

    const auto signals = supervisor.Signals();
    EXPECT_EQ(signals[0].number, ZELIX_170);
    EXPECT_EQ(signals[0].payload, relay);
    EXPECT_EQ(signals[0].sender, &supervisor);
    EXPECT_EQ(signals[1].number, ZELIX_24);
    EXPECT_EQ(signals[1].payload, "$ZELIX,24");
}

namespace {

// Holds the receive handler at one datagram until the test lets it go.
class HandlerGate {
public:
    explicit HandlerGate(std::string holdAt) : m_holdAt(std::move(holdAt)) {}
    void Attach(UdpReceiver& receiver)
    {
        receiver.setReceiveHandler([this](const char* bytes, std::size_t length) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_datagrams.emplace_back(bytes, length);
            if (m_datagrams.back() == m_holdAt) {
                m_held = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return m_released; });
            }
        });
    }
    bool WaitUntilHeld()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_held; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    std::vector<std::string> Datagrams() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_datagrams;
    }

private:
    const std::string m_holdAt;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_released = false;
    std::vector<std::string> m_datagrams;
};

}  // namespace

// Datagrams pile up in the socket while the handler is busy; they are then
// taken many at a time, yet each reaches the handler once, in the order sent,
// and the allow-list is asked for each one.
TEST(UdpReceiver, ABurstBehindABusyHandlerArrivesWholeInOrderOncePerDatagram)
{
    StartedIoThread thread;
    UdpReceiver receiver(thread.context());
    std::vector<std::string> log;
    std::mutex logMutex;
    receiver.setLogHandler([&](const std::string& text) {
        std::lock_guard<std::mutex> lock(logMutex);
        log.push_back(text);
    });
    HandlerGate gate("hold");
    gate.Attach(receiver);
    receiver.setSourceFilter(std::make_shared<const SourceAllowList>(
        SourceAllowList::Parse("QHV_SENSOR_FROM", "127.0.0.1")));
    receiver.openOnPort(0);
    const std::uint16_t port = receiver.localPort();

    Sender sender;
    sender.Send(port, "hold");
    ASSERT_TRUE(gate.WaitUntilHeld());
    boost::asio::io_context io;
    udp::socket stranger(io, udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.2"), 0));
    std::vector<std::string> expected { "hold" };
    for (int i = 0; i < 500; ++i) {  // several rounds of batches
        expected.push_back("n" + std::to_string(i));
        sender.Send(port, expected.back());
        if (i % 7 == 0) {
            const std::string foreign = "stranger" + std::to_string(i);
            stranger.send_to(boost::asio::buffer(foreign),
                             udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port));
        }
    }
    gate.Release();
    ASSERT_TRUE(WaitFor([&] { return gate.Datagrams().size() >= expected.size(); }));
    sender.Send(port, "last");
    expected.push_back("last");
    ASSERT_TRUE(WaitFor([&] { return gate.Datagrams().size() >= expected.size(); }));
    EXPECT_EQ(gate.Datagrams(), expected);
    std::lock_guard<std::mutex> lock(logMutex);
    EXPECT_NE(std::find_if(log.begin(), log.end(),
                           [](const std::string& line) {
                               return line.rfind("Datagram from 127.0.0.2 dropped: sender not in QHV_SENSOR_FROM", 0) ==
                                      0;
                           }),
              log.end());
}

// Closing while the handler is inside a batch waits for that one call and no
// other: once closeReceiver returns, the datagrams left in the batch and in
// the socket reach no handler.
TEST(UdpReceiver, CloseInTheMiddleOfABatchEndsTheHandlerCalls)
{
    StartedIoThread thread;
    UdpReceiver receiver(thread.context());
    HandlerGate gate("n10");
    gate.Attach(receiver);
    receiver.openOnPort(0);
    const std::uint16_t port = receiver.localPort();
    Sender sender;
    for (int i = 0; i < 200; ++i) {
        sender.Send(port, "n" + std::to_string(i));
    }
    ASSERT_TRUE(gate.WaitUntilHeld());
    std::atomic<bool> closed { false };
    std::thread closer([&] {
        receiver.closeReceiver();
        closed = true;
    });
    // However long the handler takes, close waits for it (the bound only limits
    // how long this is watched).
    EXPECT_FALSE(WaitFor([&] { return closed.load(); }, std::chrono::milliseconds(300)))
        << "close waits for the handler call in progress";
    gate.Release();
    closer.join();
    const std::size_t atClose = gate.Datagrams().size();
    // Anything the I/O thread still had queued runs before this marker.
    std::atomic<bool> marker { false };
    boost::asio::post(thread.context(), [&] { marker = true; });
    ASSERT_TRUE(WaitFor([&] { return marker.load(); }));
    EXPECT_EQ(gate.Datagrams().size(), atClose);
    EXPECT_LT(atClose, 200u);
    EXPECT_EQ(gate.Datagrams()[10], "n10");
}
