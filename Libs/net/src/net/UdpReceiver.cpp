#include "net/UdpReceiver.h"

#include "net/SourceAllowList.h"
#include "platform/ReportThrottle.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <exception>
#include <iostream>
#include <mutex>

using boost::asio::ip::udp;

struct UdpReceiver::Handlers {
    std::mutex mutex;
    std::shared_ptr<const ReceiveHandler> receive;
    std::shared_ptr<const LogHandler> log;
    std::shared_ptr<const BatchEndHandler> batchEnd;
    std::shared_ptr<const SourceAllowList> allowed;
    platform::ReportThrottle strangers;
    std::atomic<std::uint64_t>* refusals = nullptr;

    // What one batch's datagrams are handed to, taken under one lock for the
    // whole batch: the receive handler, the allow-list and its refusal counter.
    struct Receivers {
        std::shared_ptr<const ReceiveHandler> receive;
        std::shared_ptr<const SourceAllowList> allowed;
        std::atomic<std::uint64_t>* refusals = nullptr;
    };

    Receivers ForBatch()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return { receive, allowed, refusals };
    }

    // True when the allow-list lets `sender` in; a refusal is counted and
    // reported now and then.
    bool Admits(const Receivers& receivers, const udp::endpoint& sender)
    {
        if (!receivers.allowed || receivers.allowed->Allows(sender.address())) {
            return true;
        }
        if (receivers.refusals != nullptr) {
            receivers.refusals->fetch_add(1, std::memory_order_relaxed);
        }
        if (const std::uint64_t dropped = strangers.Count()) {
            Log("Datagram from " + sender.address().to_string() + " dropped: sender not in " +
                receivers.allowed->Variable() + " (" + std::to_string(dropped) + " dropped since the last report)");
        }
        return false;
    }

    void EndBatch()
    {
        std::shared_ptr<const BatchEndHandler> handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            handler = batchEnd;
        }
        if (handler && *handler) {
            try {
                (*handler)();
            } catch (const std::exception& e) {
                Log(std::string("Batch end handler failed: ") + e.what());
            }
        }
    }

    void Log(const std::string& text)
    {
        std::shared_ptr<const LogHandler> handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            handler = log;
        }
        if (handler && *handler) {
            (*handler)(text);
        }
    }
};

// One socket and its receive loop. The mutex serialises every use of the socket
// and of the closing flag between the owner's thread and the I/O thread; the
// receive handler is called with it held, which is what lets closeReceiver
// promise that no call follows it.
//
// The loop waits until the socket is readable, then takes what waits in it
// with recvmmsg, up to BatchSize datagrams a call, and hands each on in the
// order of arrival. It waits again only after a call that found the socket
// empty (fewer datagrams than asked for): each wait costs the I/O service a
// system call to re-arm the socket, which a busy socket does without. The
// first take, and the take after a bounded round, are posted instead.
struct UdpReceiver::Session : std::enable_shared_from_this<UdpReceiver::Session> {
    // Datagrams one recvmmsg takes, and the calls per round before the loop
    // lets other work (and closing) in.
    static constexpr unsigned BatchSize = 64;
    static constexpr int CallsPerRound = 4;

    Session(boost::asio::io_context& io, std::shared_ptr<Handlers> handlers)
        : socket(io),
          handlers(std::move(handlers)),
          // Not value-initialised: only the pages the kernel writes become resident.
          buffers(new char[std::size_t { BatchSize } * ReceiveBufferBytes])
    {
        for (unsigned i = 0; i < BatchSize; ++i) {
            vectors[i] = iovec { buffers.get() + std::size_t { i } * ReceiveBufferBytes, ReceiveBufferBytes };
        }
    }

    std::mutex mutex;
    udp::socket socket;
    bool closing = false;
    // Set by Close before it waits for the mutex: a round in progress hands on
    // no further datagram, so closing waits for one handler call at most.
    std::atomic<bool> closeAsked { false };
    std::shared_ptr<Handlers> handlers;
    std::unique_ptr<char[]> buffers;  // BatchSize slots of ReceiveBufferBytes
    std::array<iovec, BatchSize> vectors {};
    std::array<sockaddr_in, BatchSize> senders {};
    std::array<mmsghdr, BatchSize> messages {};

    // Called with the mutex held, from any thread: the first take runs on the I/O thread.
    void StartReceive()
    {
        boost::asio::post(socket.get_executor(),
                          [self = shared_from_this()] { self->OnReadable(boost::system::error_code()); });
    }

    // Called with the mutex held, on the I/O thread, once the socket was found empty.
    void WaitReadable()
    {
        socket.async_wait(udp::socket::wait_read, [self = shared_from_this()](const boost::system::error_code& error) {
            self->OnReadable(error);
        });
    }

    void OnReadable(const boost::system::error_code& error)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closing || !socket.is_open()) {
            return;
        }
        if (error) {
            // Receive errors are not reported; the loop goes on until the receiver closes.
            WaitReadable();
            return;
        }
        for (int call = 0; call < CallsPerRound && !closeAsked.load(std::memory_order_relaxed); ++call) {
            const int taken = TakeBatch();
            if (taken < static_cast<int>(BatchSize)) {
                // The socket was empty (or failed): wait for the next datagram.
                // The wait is started before the batch's end is reported, so that
                // the thread the report wakes finds this one on its way to sleep
                // rather than still busy on the same processor.
                WaitReadable();
                if (taken > 0) {
                    handlers->EndBatch();
                }
                return;
            }
            handlers->EndBatch();
        }
        // More may wait: go on after whatever else the I/O thread has to do.
        StartReceive();
    }

    // One recvmmsg without blocking, each datagram handed on in turn; the caller
    // reports the batch's end. The number taken, or -1 when the call failed
    // (would block, or an error).
    int TakeBatch()
    {
        for (unsigned i = 0; i < BatchSize; ++i) {
            msghdr& header = messages[i].msg_hdr;
            header = msghdr {};
            header.msg_name = &senders[i];
            header.msg_namelen = sizeof(sockaddr_in);
            header.msg_iov = &vectors[i];
            header.msg_iovlen = 1;
        }
        const int taken = ::recvmmsg(socket.native_handle(), messages.data(), BatchSize, MSG_DONTWAIT, nullptr);
        if (taken <= 0) {
            return taken;
        }
        const Handlers::Receivers receivers = handlers->ForBatch();
        for (int i = 0; i < taken && !closeAsked.load(std::memory_order_relaxed); ++i) {
            if (messages[i].msg_len > 0) {
                Deliver(receivers, static_cast<std::size_t>(i), messages[i].msg_len);
            }
        }
        return taken;
    }

    void Deliver(const Handlers::Receivers& receivers, std::size_t slot, std::size_t length)
    {
        const sockaddr_in& from = senders[slot];
        const udp::endpoint sender(boost::asio::ip::address_v4(ntohl(from.sin_addr.s_addr)), ntohs(from.sin_port));
        if (!handlers->Admits(receivers, sender) || !receivers.receive || !*receivers.receive) {
            return;
        }
        try {
            (*receivers.receive)(buffers.get() + slot * ReceiveBufferBytes, length);
        } catch (const std::exception& e) {
            // A failing handler must not end the I/O thread and with it all input.
            handlers->Log(std::string("Receive handler failed: ") + e.what());
        }
    }

    void Close()
    {
        closeAsked = true;
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
        if (socket.is_open()) {
            boost::system::error_code error;
            socket.close(error);
            if (error) {
                std::cerr << "UdpReceiver: closing the socket failed: " << error.message() << std::endl;
            }
        }
    }
};

namespace {

[[noreturn]] void Raise(const boost::system::error_code& error, const std::string& operation)
{
    throw boost::system::system_error(error, operation);
}

}  // namespace

UdpReceiver::UdpReceiver(boost::asio::io_context& io)
    : m_io(io),
      m_handlers(std::make_shared<Handlers>()),
      m_session(std::make_shared<Session>(io, m_handlers))
{
    boost::system::error_code error;
    m_session->socket.open(udp::v4(), error);
    if (!error) {
        m_session->socket.non_blocking(true, error);  // the loop takes datagrams only without blocking
    }
    if (error) {
        Raise(error, "open UDP socket");
    }
}

UdpReceiver::~UdpReceiver()
{
    closeReceiver();
}

void UdpReceiver::setLogHandler(LogHandler handler)
{
    auto shared = std::make_shared<const LogHandler>(std::move(handler));
    std::lock_guard<std::mutex> lock(m_handlers->mutex);
    m_handlers->log = std::move(shared);
}

void UdpReceiver::setReceiveHandler(ReceiveHandler handler)
{
    auto shared = std::make_shared<const ReceiveHandler>(std::move(handler));
    std::lock_guard<std::mutex> lock(m_handlers->mutex);
    m_handlers->receive = std::move(shared);
}

void UdpReceiver::setBatchEndHandler(BatchEndHandler handler)
{
    auto shared = std::make_shared<const BatchEndHandler>(std::move(handler));
    std::lock_guard<std::mutex> lock(m_handlers->mutex);
    m_handlers->batchEnd = std::move(shared);
}

void UdpReceiver::setSourceFilter(std::shared_ptr<const SourceAllowList> allowed)
{
    std::lock_guard<std::mutex> lock(m_handlers->mutex);
    m_handlers->allowed = std::move(allowed);
}

void UdpReceiver::countRefusalsIn(std::atomic<std::uint64_t>& counter)
{
    std::lock_guard<std::mutex> lock(m_handlers->mutex);
    m_handlers->refusals = &counter;
}

void UdpReceiver::Bind(Session& session, std::uint16_t port)
{
    const std::string portText = std::to_string(port);
    boost::system::error_code error;

    m_handlers->Log("Set reuse_address to true");
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.socket.set_option(udp::socket::reuse_address(true), error);
    }
    if (error) {
        Raise(error, "set reuse_address on input port " + portText);
    }

    m_handlers->Log("Bind to input port " + portText);
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.socket.bind(udp::endpoint(udp::v4(), port), error);
    }
    if (error) {
        Raise(error, "bind to input port " + portText);
    }
    m_handlers->Log("Bound to input port");

    SetSocketBuffer(session);
}

void UdpReceiver::SetSocketBuffer(Session& session)
{
    boost::system::error_code error;
    udp::socket::receive_buffer_size obtained;
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.socket.set_option(udp::socket::receive_buffer_size(SocketBufferBytes), error);
        if (!error) {
            session.socket.get_option(obtained, error);
        }
        // The kernel silently clamps the size to its limit; a privileged process
        // may go beyond that limit.
        if (!error && obtained.value() < SocketBufferBytes) {
            const int wanted = SocketBufferBytes;
            if (::setsockopt(session.socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) ==
                0) {
                session.socket.get_option(obtained, error);
            }
        }
    }
    if (error) {
        Raise(error, "set receive buffer size on input port");
    }
    if (obtained.value() < SocketBufferBytes) {
        m_handlers->Log("Receive buffer size is " + std::to_string(obtained.value()) + " bytes, less than the " +
                        std::to_string(SocketBufferBytes) + " asked for");
    }
}

void UdpReceiver::openOnPort(std::uint16_t port)
{
    Bind(*m_session, port);
    m_handlers->Log("UDP receive starting");
    std::lock_guard<std::mutex> lock(m_session->mutex);
    if (!m_session->closing) {
        m_session->StartReceive();
    }
}

void UdpReceiver::reopenOnPort(std::uint16_t port)
{
    // A fresh socket with its own closing flag: a receive of the old socket that
    // is still completing ends on the old flag and cannot restart on this one.
    // It is bound before the old one closes, so a failed bind leaves the
    // receiver where it was, and a datagram never finds neither socket.
    auto fresh = std::make_shared<Session>(m_io, m_handlers);
    try {
        boost::system::error_code error;
        fresh->socket.open(udp::v4(), error);
        if (!error) {
            fresh->socket.non_blocking(true, error);
        }
        if (error) {
            Raise(error, "open UDP socket");
        }
        Bind(*fresh, port);
    } catch (const std::exception& e) {
        m_handlers->Log(e.what());
        fresh->Close();
        return;
    }
    std::swap(m_session, fresh);
    fresh->Close();  // the old socket
    m_handlers->Log("Logging starting");
    std::lock_guard<std::mutex> lock(m_session->mutex);
    m_session->StartReceive();
}

void UdpReceiver::closeReceiver()
{
    if (m_session) {
        m_session->Close();
    }
}

std::uint16_t UdpReceiver::localPort() const
{
    std::lock_guard<std::mutex> lock(m_session->mutex);
    if (!m_session->socket.is_open()) {
        return 0;
    }
    boost::system::error_code error;
    const udp::endpoint local = m_session->socket.local_endpoint(error);
    return error ? 0 : local.port();
}

int UdpReceiver::receiveBufferSize() const
{
    std::lock_guard<std::mutex> lock(m_session->mutex);
    if (!m_session->socket.is_open()) {
        return 0;
    }
    boost::system::error_code error;
    udp::socket::receive_buffer_size size;
    m_session->socket.get_option(size, error);
    return error ? 0 : size.value();
}
