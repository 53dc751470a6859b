// A listener in the place of systemd's notification socket (NOTIFY_SOCKET): an
// AF_UNIX datagram socket in a test folder. Its own thread takes every message
// at once, as systemd does, since a full socket queue would block the sender.
#pragma once

#include "testsupport/TestUtils.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace servicetest {

class NotifySocket {
public:
    explicit NotifySocket(const std::filesystem::path& folder) : m_path((folder / "notify").string())
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        m_thread = std::thread([this] {
            char buffer[4096];
            while (!m_stop) {
                pollfd entry { m_fd, POLLIN, 0 };
                const ssize_t length = ::poll(&entry, 1, 50) == 1 ? ::recv(m_fd, buffer, sizeof buffer, 0) : -1;
                if (length >= 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_messages.emplace_back(buffer, static_cast<std::size_t>(length));
                }
            }
        });
    }
    ~NotifySocket()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }

    const std::string& Path() const { return m_path; }
    std::size_t Count(const std::string& message) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<std::size_t>(std::count(m_messages.begin(), m_messages.end(), message));
    }
    // Every message received so far, in order.
    std::vector<std::string> Messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    bool WaitFor(const std::string& message, std::size_t count = 1) const
    {
        return testsupport::WaitFor([&] { return Count(message) >= count; }, std::chrono::seconds(20));
    }

private:
    std::string m_path;
    int m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> m_stop { false };
    mutable std::mutex m_mutex;
    std::vector<std::string> m_messages;
    std::thread m_thread;
};

}  // namespace servicetest
