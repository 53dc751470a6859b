// The UDP receive endpoint of a state machine: one IPv4 port on the owner's
// io_context, the datagrams taken in batches (recvmmsg) once the socket is
// readable, each handed to the receive handler on the I/O thread, in order.
// Open, reopen and close come from the owner's thread.
#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class SourceAllowList;

class UdpReceiver {
public:
    using ReceiveHandler = std::function<void(const char* bytes, std::size_t length)>;
    using LogHandler = std::function<void(const std::string& text)>;
    using BatchEndHandler = std::function<void()>;

    // Largest datagram one receive takes (each of a batch's slots has this size).
    static constexpr std::size_t ReceiveBufferBytes = 65535;
    // Socket receive buffer asked of the kernel, so that bursts survive a busy machine.
    static constexpr int SocketBufferBytes = 32000000;

    // `io` belongs to the owner, which runs it in one I/O thread (the receive
    // loop relies on that to keep the order, with no strand) and keeps it
    // alive until after the receiver is gone and the service has stopped (a
    // receive aborted by closing completes on it later). The IPv4 socket is
    // created and opened here; nothing is bound yet. Throws
    // boost::system::system_error when no socket can be opened.
    explicit UdpReceiver(boost::asio::io_context& io);
    // Closes the receiver.
    ~UdpReceiver();

    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    // Replace the handlers (an empty one is allowed). A datagram that completes
    // while no receive handler is installed is dropped. A new receive handler
    // and allow-list take effect from the next batch. The receive handler runs
    // on the I/O thread, must copy what it keeps, and must not close or reopen
    // this receiver. The log handler is called by the opening thread, and by the
    // I/O thread should a receive handler throw.
    void setLogHandler(LogHandler handler);
    void setReceiveHandler(ReceiveHandler handler);
    // Called on the I/O thread after the datagrams of one batch (those one
    // recvmmsg took) have all been handed to the receive handler, under the
    // same promise: no call after closeReceiver returns.
    void setBatchEndHandler(BatchEndHandler handler);

    // Datagrams from senders the list does not allow are dropped before the
    // receive handler sees them, with a line to the log handler at most once a
    // second that counts them. Null (the default) allows every sender.
    void setSourceFilter(std::shared_ptr<const SourceAllowList> allowed);
    // Adds one to `counter` (relaxed) for each datagram the allow-list refuses;
    // the counter must outlive the receiver.
    void countRefusalsIn(std::atomic<std::uint64_t>& counter);

    // Sets reuse-address, binds the IPv4 any-address and `port` (0: an ephemeral
    // port), asks for the socket receive buffer and starts receiving. Progress
    // goes to the log handler. A failure throws boost::system::system_error whose
    // text names the operation and the port.
    void openOnPort(std::uint16_t port);

    // Binds a fresh socket to `port` as openOnPort does, then closes the current
    // one. Never throws: a failure goes to the log handler, and the receiver
    // then stays on its current socket.
    void reopenOnPort(std::uint16_t port);

    // Stops receiving and closes the socket. On return no receive handler call is
    // running and none will follow. Errors go to standard error. Idempotent.
    void closeReceiver();

    // The bound local port, or 0 when the socket is not bound or closed.
    std::uint16_t localPort() const;

    // The receive buffer size the kernel reports for the socket (0 when closed).
    int receiveBufferSize() const;

private:
    struct Handlers;
    struct Session;

    // Steps shared by openOnPort and reopenOnPort, up to the receive buffer.
    void Bind(Session& session, std::uint16_t port);
    void SetSocketBuffer(Session& session);

    boost::asio::io_context& m_io;
    std::shared_ptr<Handlers> m_handlers;
    // Socket, closing flag and buffer; shared with the receive in progress so a
    // late completion never touches a destroyed object.
    std::shared_ptr<Session> m_session;
};
