// Sending many small UDP datagrams with few system calls: datagrams are
// copied into a batch of up to 64 and handed to the kernel with one sendmmsg.
// One object per sending thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class CDatagramBatch {
public:
    // Most datagrams one sendmmsg takes.
    static constexpr std::size_t Capacity = 64;
    // Largest datagram a batch copies (larger ones are sent on their own).
    static constexpr std::size_t SlotBytes = 512;

    // Sends through `fd`, an IPv4 UDP socket the caller owns.
    explicit CDatagramBatch(int fd) : m_fd(fd) {}

    CDatagramBatch(const CDatagramBatch&) = delete;
    CDatagramBatch& operator=(const CDatagramBatch&) = delete;

    // Copies the datagram into the batch; a full batch is sent first. A
    // datagram larger than SlotBytes is sent at once, after what is queued.
    void Add(const void* bytes, std::size_t length, const sockaddr_in& destination);

    // Sends what is queued, in order. Datagrams the kernel refuses are counted
    // as failed, with the last error kept. Returns the number sent.
    std::size_t Flush();

    std::size_t Queued() const { return m_count; }
    std::uint64_t Failures() const { return m_failures; }
    // The text of the last send error, empty when none.
    const std::string& LastError() const { return m_lastError; }

private:
    void Failed(std::size_t count, int error);

    int m_fd;
    std::size_t m_count = 0;
    std::array<std::array<unsigned char, SlotBytes>, Capacity> m_slots {};
    std::array<sockaddr_in, Capacity> m_destinations {};
    std::array<iovec, Capacity> m_vectors {};
    std::array<mmsghdr, Capacity> m_messages {};
    std::uint64_t m_failures = 0;
    std::string m_lastError;
};

// An IPv4 address and port as a socket address; `host` in dotted form.
sockaddr_in Ipv4Destination(const std::string& host, std::uint16_t port);

}  // namespace platform
