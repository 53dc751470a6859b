#include "platform/DatagramBatch.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

namespace platform {

void CDatagramBatch::Add(const void* bytes, std::size_t length, const sockaddr_in& destination)
{
    if (length > SlotBytes) {
        Flush();
        if (::sendto(m_fd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) <
            0) {
            Failed(1, errno);
        }
        return;
    }
    if (m_count == Capacity) {
        Flush();
    }
    std::memcpy(m_slots[m_count].data(), bytes, length);
    m_destinations[m_count] = destination;
    m_vectors[m_count] = iovec { m_slots[m_count].data(), length };
    mmsghdr& message = m_messages[m_count];
    message = mmsghdr {};
    message.msg_hdr.msg_name = &m_destinations[m_count];
    message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    message.msg_hdr.msg_iov = &m_vectors[m_count];
    message.msg_hdr.msg_iovlen = 1;
    ++m_count;
}

std::size_t CDatagramBatch::Flush()
{
    std::size_t sent = 0;
    std::size_t failed = 0;
    while (sent < m_count) {
        const int done = ::sendmmsg(m_fd, &m_messages[sent], static_cast<unsigned>(m_count - sent), 0);
        if (done > 0) {
            sent += static_cast<std::size_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        // The first datagram of the rest failed: count it and go on with the next.
        Failed(1, done < 0 ? errno : EIO);
        ++failed;
        ++sent;
    }
    m_count = 0;
    return sent - failed;
}

void CDatagramBatch::Failed(std::size_t count, int error)
{
    m_failures += count;
    m_lastError = std::strerror(error);
}

sockaddr_in Ipv4Destination(const std::string& host, std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return address;
}

}  // namespace platform
