// Rate limit for reports of events that may come in floods (datagrams dropped,
// say): a report at most once per interval, with the count of the events it
// stands for. Callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace platform {

class ReportThrottle {
public:
    explicit ReportThrottle(std::chrono::steady_clock::duration interval = std::chrono::seconds(1))
        : m_interval(interval)
    {
    }

    // Counts one event. Returns the number of events since the last report,
    // this one included, when a report is due now; 0 when it is not.
    std::uint64_t Count()
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pending;
        if (m_reported && now - m_last < m_interval) {
            return 0;
        }
        m_reported = true;
        m_last = now;
        const std::uint64_t events = m_pending;
        m_pending = 0;
        return events;
    }

private:
    const std::chrono::steady_clock::duration m_interval;
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_last {};
    bool m_reported = false;
    std::uint64_t m_pending = 0;
};

}  // namespace platform
