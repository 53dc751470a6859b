#include "platform/PortClaim.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>

namespace platform {

namespace {

// The ports held by claims of this process.
std::mutex g_heldMutex;
std::multiset<std::uint16_t> g_heldPorts;

}  // namespace

bool PortClaim::HeldByThisProcess(std::uint16_t port)
{
    std::lock_guard<std::mutex> lock(g_heldMutex);
    return g_heldPorts.count(port) > 0;
}

PortClaim::PortClaim(std::uint16_t port)
{
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = errno;
        return;
    }
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    // An abstract name starts with a NUL byte and is as long as the length says.
    const int nameLength = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "qhvlogger/udp/%u",
                                         static_cast<unsigned>(port));
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nameLength);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        m_error = errno;
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = port;
    std::lock_guard<std::mutex> lock(g_heldMutex);
    g_heldPorts.insert(port);
}

PortClaim::~PortClaim()
{
    Release();
}

PortClaim::PortClaim(PortClaim&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_error(other.m_error), m_port(std::exchange(other.m_port, 0))
{
}

PortClaim& PortClaim::operator=(PortClaim&& other) noexcept
{
    if (this != &other) {
        Release();
        m_fd = std::exchange(other.m_fd, -1);
        m_error = other.m_error;
        m_port = std::exchange(other.m_port, 0);
    }
    return *this;
}

void PortClaim::Release()
{
    if (m_fd >= 0) {
        {
            std::lock_guard<std::mutex> lock(g_heldMutex);
            g_heldPorts.erase(g_heldPorts.find(m_port));
        }
        ::close(m_fd);
        m_fd = -1;
        m_port = 0;
    }
}

}  // namespace platform
