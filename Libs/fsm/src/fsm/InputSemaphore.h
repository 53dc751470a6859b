// The counting semaphore between the producers of a machine's external signals
// and its input thread: one count per queued signal. Release may be called from
// any thread; Acquire from the input thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

class CInputSemaphore {
public:
    // Adds `count` and wakes the input thread once, if it waits: a producer that
    // queued a batch of signals costs the input thread one wake-up, not one per signal.
    void Release(std::size_t count = 1)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_count += count;
            if (m_waiting == 0) {
                return;
            }
        }
        m_available.notify_one();  // after the lock: the woken thread finds it free
    }

    // Waits for a count and takes it; no system call while counts are left.
    void Acquire()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_waiting;
        m_available.wait(lock, [this] { return m_count > 0; });
        --m_waiting;
        --m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_available;
    std::size_t m_count = 0;
    std::size_t m_waiting = 0;
};
