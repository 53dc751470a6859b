// The counting semaphore between the producers of a machine's external signals
// and its input thread: one count per queued signal. Release may be called from
// any thread; Acquire from the input thread.
//
// The count lives in an atomic; the ACE semaphore below it is touched only when
// a thread actually sleeps. A negative count is the number of threads asleep in
// Acquire, so a Release wakes exactly those it has counts for, and a Release
// while the input thread is busy costs no system call at all. Per datagram at a
// low rate that is one wake and one wait; a condition variable costs a third
// call, because the mutex it takes back after the wait is always unlocked as
// contended.
#pragma once

#include <ace/Thread_Semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>

class CInputSemaphore {
public:
    // Adds `count` and wakes a sleeping input thread once: a producer that
    // queued a batch of signals costs the input thread one wake-up, not one per signal.
    void Release(std::size_t count = 1)
    {
        const long added = static_cast<long>(count);
        const long before = m_count.fetch_add(added, std::memory_order_acq_rel);
        if (before < 0) {
            m_sleepers.release(static_cast<unsigned>(std::min(added, -before)));
        }
    }

    // Takes a count, sleeping until there is one; no system call while counts are left.
    void Acquire()
    {
        if (m_count.fetch_sub(1, std::memory_order_acq_rel) > 0) {
            return;
        }
        // This thread is counted as asleep now: the next Release posts one
        // wake for it, whether it comes before or after the wait begins.
        while (m_sleepers.acquire() == -1 && errno == EINTR) {
        }
    }

private:
    std::atomic<long> m_count { 0 };
    ACE_Thread_Semaphore m_sleepers { 0 };
};
