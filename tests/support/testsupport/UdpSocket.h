// A UDP socket on 127.0.0.1 for tests: bound to a given port or an ephemeral
// one, sending to and receiving from loopback ports.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class UdpSocket {
public:
    // Bound to `port` on 127.0.0.1 (0: an ephemeral port), without reuse-address,
    // so nobody else can bind the port while the socket lives. `host` binds
    // another loopback address instead (127.0.0.2, say: a second sender host).
    explicit UdpSocket(std::uint16_t port = 0, std::uint32_t host = INADDR_LOOPBACK)
        : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = Loopback(port);
        address.sin_addr.s_addr = htonl(host);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (m_fd >= 0) {
                ::close(m_fd);
            }
            throw std::runtime_error("cannot bind UDP port " + std::to_string(port) + " on 127.0.0.1");
        }
    }
    ~UdpSocket() { ::close(m_fd); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    std::uint16_t Port() const
    {
        sockaddr_in address {};
        socklen_t size = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
        return ntohs(address.sin_port);
    }
    int Fd() const { return m_fd; }

    // True when the whole datagram was sent.
    bool SendTo(std::uint16_t port, const std::string& bytes) const
    {
        const sockaddr_in address = Loopback(port);
        return ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                        sizeof address) == static_cast<ssize_t>(bytes.size());
    }

    // The next datagram, or nullopt when none arrives within the bound.
    std::optional<std::string> Receive(std::chrono::milliseconds bound = std::chrono::seconds(10)) const
    {
        pollfd entry { m_fd, POLLIN, 0 };
        if (::poll(&entry, 1, static_cast<int>(bound.count())) != 1) {
            return std::nullopt;
        }
        char buffer[65536];
        const ssize_t length = ::recv(m_fd, buffer, sizeof buffer, 0);
        return length < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, std::size_t(length)));
    }

    // Every datagram already sent, once the senders have ended: a short quiet ends it.
    std::vector<std::string> ReceiveAll() const
    {
        std::vector<std::string> datagrams;
        while (std::optional<std::string> datagram = Receive(std::chrono::milliseconds(300))) {
            datagrams.push_back(*datagram);
        }
        return datagrams;
    }

    static sockaddr_in Loopback(std::uint16_t port)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

private:
    int m_fd;
};

// A port that was free a moment ago.
inline std::uint16_t FreeUdpPort()
{
    return UdpSocket().Port();
}

}  // namespace testsupport
