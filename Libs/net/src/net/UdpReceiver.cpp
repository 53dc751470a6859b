#include "net/UdpReceiver.h"

#include "net/SourceAllowList.h"
#include "platform/ReportThrottle.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/system_error.hpp>

#include <sys/socket.h>

#include <array>
#include <exception>
#include <iostream>
#include <mutex>

using boost::asio::ip::udp;

struct UdpReceiver::Handlers {
    std::mutex mutex;
    std::shared_ptr<const ReceiveHandler> receive;
    std::shared_ptr<const LogHandler> log;
    std::shared_ptr<const SourceAllowList> allowed;
    platform::ReportThrottle strangers;
    std::atomic<std::uint64_t>* refusals = nullptr;

    // The receive handler for a datagram from `sender`, taken with the
    // allow-list under one lock (this runs once per datagram); null, with a
    // report now and then, for a sender the allow-list does not name.
    std::shared_ptr<const ReceiveHandler> ReceiveFrom(const udp::endpoint& sender)
    {
        std::shared_ptr<const ReceiveHandler> handler;
        std::shared_ptr<const SourceAllowList> list;
        std::atomic<std::uint64_t>* refused = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            handler = receive;
            list = allowed;
            refused = refusals;
        }
        if (!list || list->Allows(sender.address())) {
            return handler;
        }
        if (refused != nullptr) {
            refused->fetch_add(1, std::memory_order_relaxed);
        }
        if (const std::uint64_t dropped = strangers.Count()) {
            Log("Datagram from " + sender.address().to_string() + " dropped: sender not in " + list->Variable() +
                " (" + std::to_string(dropped) + " dropped since the last report)");
        }
        return nullptr;
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
struct UdpReceiver::Session : std::enable_shared_from_this<UdpReceiver::Session> {
    Session(boost::asio::io_context& io, boost::asio::strand<boost::asio::io_context::executor_type> strand,
            std::shared_ptr<Handlers> handlers)
        : socket(io), strand(std::move(strand)), handlers(std::move(handlers))
    {
    }

    std::mutex mutex;
    udp::socket socket;
    udp::endpoint sender;
    bool closing = false;
    std::array<char, ReceiveBufferBytes> buffer {};
    boost::asio::strand<boost::asio::io_context::executor_type> strand;
    std::shared_ptr<Handlers> handlers;

    // Called with the mutex held.
    void StartReceive()
    {
        socket.async_receive_from(boost::asio::buffer(buffer), sender,
                                  boost::asio::bind_executor(strand, [self = shared_from_this()](
                                                                         const boost::system::error_code& error,
                                                                         std::size_t length) {
                                      self->OnReceive(error, length);
                                  }));
    }

    void OnReceive(const boost::system::error_code& error, std::size_t length)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closing) {
            return;
        }
        if (!error && length > 0) {
            Deliver(length);
            DeliverWaiting();
        }
        // Receive errors are not reported; the loop goes on until the receiver closes.
        StartReceive();
    }

    // Under load more datagrams wait in the socket by the time one has been
    // handed on: take them straight away, each in turn, instead of one trip
    // through the I/O service per datagram. Bounded, so closing is not held up.
    void DeliverWaiting()
    {
        for (int taken = 0; taken < MaxWaitingPerWakeUp; ++taken) {
            boost::system::error_code error;
            const std::size_t length = socket.receive_from(boost::asio::buffer(buffer), sender, 0, error);
            if (error) {
                return;  // would block: the socket is empty
            }
            if (length > 0) {
                Deliver(length);
            }
        }
    }

    static constexpr int MaxWaitingPerWakeUp = 64;

    void Deliver(std::size_t length)
    {
        const std::shared_ptr<const ReceiveHandler> handler = handlers->ReceiveFrom(sender);
        if (!handler || !*handler) {
            return;
        }
        try {
            (*handler)(buffer.data(), length);
        } catch (const std::exception& e) {
            // A failing handler must not end the I/O thread and with it all input.
            handlers->Log(std::string("Receive handler failed: ") + e.what());
        }
    }

    void Close()
    {
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
      m_strand(boost::asio::make_strand(io)),
      m_handlers(std::make_shared<Handlers>()),
      m_session(std::make_shared<Session>(io, m_strand, m_handlers))
{
    boost::system::error_code error;
    m_session->socket.open(udp::v4(), error);
    if (!error) {
        m_session->socket.non_blocking(true, error);  // for the receives that drain a busy socket
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
    auto fresh = std::make_shared<Session>(m_io, m_strand, m_handlers);
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
