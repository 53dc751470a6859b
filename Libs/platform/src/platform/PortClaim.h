// A claim on a UDP port among the processes of this system that claim ports
// the same way: an abstract Unix socket named after the port, bound while the
// object lives. Sockets with the reuse-address option share a port silently,
// so a second QHVLogger would take the first one's datagrams; the claim lets
// it find out instead. Abstract names belong to the network namespace, as
// ports do, and go with the process however it ends (kill -9 included).
#pragma once

#include <cstdint>

namespace platform {

class PortClaim {
public:
    PortClaim() = default;
    // Claims `port`; Held() tells whether this object has it.
    explicit PortClaim(std::uint16_t port);
    ~PortClaim();

    PortClaim(PortClaim&& other) noexcept;
    PortClaim& operator=(PortClaim&& other) noexcept;
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    bool Held() const { return m_fd >= 0; }
    // errno of a failed claim: EADDRINUSE when another holder has the port.
    int Error() const { return m_error; }
    // The port claimed, 0 when none is held.
    std::uint16_t Port() const { return Held() ? m_port : 0; }

    // True while some PortClaim of this process holds `port`: the port is one
    // of our own (the control port, a logger's data port), as opposed to one
    // that another process holds. Callable from any thread.
    static bool HeldByThisProcess(std::uint16_t port);

private:
    void Release();

    int m_fd = -1;
    int m_error = 0;
    std::uint16_t m_port = 0;
};

}  // namespace platform
