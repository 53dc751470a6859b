// The input object of a state machine: its external, internal and saved queues
// and the input thread that dispatches one signal at a time. PutExternal and
// PutExternalBounded may be called from any thread; PutInternal, Save and the
// withdrawal of internal signals from the machine's own jobs and its timer thread.
//
// The external queue is bounded for what comes from the network only: a
// bounded put past the bound (FsmQueueLoad.h) drops the signal, counts it and
// traces the drop at most once a second; the input thread tells the machine
// once per episode of drops (OnInputDropped). Signals between machines, timer
// wake-ups and relays always go in.
#pragma once

#include "LogTrace/LogTrace.h"
#include "fsm/FsmQueueLoad.h"
#include "fsm/FsmSignal.h"
#include "fsm/InputSemaphore.h"

#include <ace/Guard_T.h>
#include <ace/Mutex.h>
#include <ace/Thread.h>
#include <ace/Thread_Manager.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <vector>

template <class App, class Signal>
class CApplFsm;

template <class App, class Signal>
class CFsmInput {
public:
    using Machine = CApplFsm<App, Signal>;

    // Argument record of the input thread.
    struct ThreadArgs {
        ACE_Thread_Manager* threadManager;
        CFsmInput* input;
    };

    CFsmInput(Machine& machine, LogTrace* trace) : m_machine(machine), m_trace(trace) {}

    CFsmInput(const CFsmInput&) = delete;
    CFsmInput& operator=(const CFsmInput&) = delete;

    // Releases every queued signal with its payload.
    virtual ~CFsmInput()
    {
        DrainQueue(m_externalMutex, m_external);
        DrainQueue(m_internalMutex, m_internal);
        DrainQueue(m_savedMutex, m_saved);
    }

    // Appends at the back (ordinary signals) or inserts at the front (wake-ups)
    // and wakes the input thread. A back queue beyond 10 signals is reported.
    void PutExternal(Signal* signal, bool atBack)
    {
        QueueLength length;
        {
            ACE_GUARD(ACE_Mutex, guard, m_externalMutex);
            length = Enqueue(signal, atBack);
        }
        WakeAndReport(length);
    }

    // PutExternal at the back for a signal from the network, unless the queue
    // is at its bound or a watched queue (WatchLoad) is: then the signal is
    // deleted with its payload and counted. True when queued.
    bool PutExternalBounded(Signal* signal) { return PutExternalBounded(signal, true); }

    // PutExternalBounded that leaves the input thread asleep: the signal waits
    // in the queue until WakeForQueued. A producer that hands over a batch of
    // signals wakes the input thread once for all of them, so that the thread
    // takes them one after the other instead of sleeping between them.
    bool PutExternalBoundedQuietly(Signal* signal) { return PutExternalBounded(signal, false); }

    // Wakes the input thread for every signal PutExternalBoundedQuietly queued.
    void WakeForQueued()
    {
        if (const std::size_t queued = m_quietlyQueued.exchange(0)) {
            m_semaphore.Release(queued);
        }
    }

    bool PutExternalBounded(Signal* signal, bool wake)
    {
        const std::size_t size = SignalBytes(signal);
        std::uint64_t episodeDrops = 0;
        bool traceDrop = false;
        bool episodeEnded = false;
        QueueLength length;
        {
            ACE_Guard<ACE_Mutex> guard(m_externalMutex);
            if (!guard.locked()) {
                DeleteSignal(signal);  // the caller has handed it over either way
                return false;
            }
            episodeEnded = EndEpisodeIfDrained(episodeDrops);
            if (!RefusesLocked(size)) {
                length = Enqueue(signal, true);
                signal = nullptr;  // the queue owns it now
            } else {
                m_dropped.fetch_add(1);
                const auto now = std::chrono::steady_clock::now();
                if (!m_dropEpisode) {
                    m_dropEpisode = true;
                    m_episodeDrops = 0;
                    m_episodeToReport.store(true);
                    m_semaphore.Release();  // lets an idle input thread report it
                    traceDrop = true;
                } else {
                    traceDrop = now - m_lastDropTrace >= DropTraceInterval;
                }
                ++m_episodeDrops;
                if (traceDrop) {
                    m_lastDropTrace = now;
                }
            }
        }
        if (episodeEnded) {
            TraceEpisodeEnd(episodeDrops);
        }
        if (signal == nullptr) {
            if (!wake) {
                m_quietlyQueued.fetch_add(1);  // after the queueing: WakeForQueued finds the signal
                length.queued = false;
            }
            WakeAndReport(length);
            return true;
        }
        if (traceDrop && m_trace != nullptr) {
            char name[SignalNameBufferSize];
            m_trace->Append("\n*ExternalQ Input: %s dropped by %s, queue full. Queue size: %u, %lu bytes, "
                            "%llu dropped so far\n",
                            m_machine.SignalName(signal->GetNumber(), name), m_machine.Name().c_str(),
                            static_cast<unsigned>(m_load->signalCount.load()),
                            static_cast<unsigned long>(m_load->byteCount.load()),
                            static_cast<unsigned long long>(m_dropped.load()));
        }
        DeleteSignal(signal);
        return false;
    }

    // Refuses network signals also while `load` (another machine's queue, to
    // which this machine relays) is at its bound, so that relayed signals,
    // which are never dropped, cannot grow that queue without limit.
    void WatchLoad(std::shared_ptr<const CQueueLoad> load)
    {
        if (!load) {
            return;
        }
        ACE_GUARD(ACE_Mutex, guard, m_externalMutex);
        m_watched.push_back(std::move(load));
    }

    std::shared_ptr<const CQueueLoad> Load() const { return m_load; }
    std::uint64_t Dropped() const { return m_dropped.load(); }

    // The number of the signal the input thread takes next: the head of the
    // internal queue, else that of the external queue; 0 when both are empty.
    // Lets a job see whether more input of its kind waits. Only new signals
    // at the back, wake-ups and timer expiries can come after the answer.
    std::int32_t NextSignalNumber()
    {
        {
            ACE_GUARD_RETURN(ACE_Mutex, guard, m_internalMutex, 0);
            for (const Signal* signal : m_internal) {
                if (signal != nullptr) {
                    return signal->GetNumber();
                }
            }
        }
        if (m_load->signalCount.load(std::memory_order_relaxed) == 0) {
            return 0;  // nothing queued: no lock needed to say so
        }
        ACE_GUARD_RETURN(ACE_Mutex, guard, m_externalMutex, 0);
        for (const Signal* signal : m_external) {
            if (signal != nullptr) {
                return signal->GetNumber();
            }
        }
        return 0;
    }

    // Appends to the internal queue; seen at the input thread's next drain.
    void PutInternal(Signal* signal)
    {
        ACE_GUARD(ACE_Mutex, guard, m_internalMutex);
        m_internal.push_back(signal);
    }

    // Keeps a signal until the next change of state.
    void Save(Signal* signal)
    {
        ACE_GUARD(ACE_Mutex, guard, m_savedMutex);
        m_saved.push_back(signal);
    }

    // Moves the saved signals to the head of the internal queue, in the order
    // in which they were saved.
    void ReleaseSaved()
    {
        ACE_GUARD(ACE_Mutex, savedGuard, m_savedMutex);
        while (!m_saved.empty()) {
            Signal* signal = m_saved.back();
            m_saved.pop_back();
            ACE_GUARD(ACE_Mutex, internalGuard, m_internalMutex);
            m_internal.push_front(signal);
        }
    }

    // Removes (and releases) every internal signal with this non-zero number.
    void WithdrawInternal(std::int32_t number)
    {
        ACE_GUARD(ACE_Mutex, guard, m_internalMutex);
        for (auto it = m_internal.begin(); it != m_internal.end();) {
            if (*it != nullptr && (*it)->GetNumber() != 0 && (*it)->GetNumber() == number) {
                Signal* signal = *it;
                DeleteSignal(signal);
                it = m_internal.erase(it);
            } else {
                ++it;
            }
        }
    }

    // The input thread: drain the internal queue, then wait for and dispatch one
    // external signal, until the thread manager cancels the thread.
    static ACE_THR_FUNC_RETURN InputThread(void* arg)
    {
        auto* args = static_cast<ThreadArgs*>(arg);
        CFsmInput* input = args->input;
        input->m_threadId = ACE_Thread::self();
        RunAsBatchThread();
        while (!args->threadManager->testcancel(ACE_Thread::self())) {
            while (Signal* signal = input->Take(input->m_internalMutex, input->m_internal)) {
                input->DispatchAndDelete(signal);
            }
            if (input->m_episodeToReport.exchange(false)) {
                input->m_machine.OnInputDropped(input->m_dropped.load());
            }
            input->m_semaphore.Acquire();
            if (Signal* signal = input->TakeExternal()) {
                if (signal->GetNumber() == FSM_TIMEHANDL) {
                    DeleteSignal(signal);
                } else if (signal->GetNumber() == HEARTBEAT) {
                    input->m_machine.AnswerHeartbeat();
                    DeleteSignal(signal);
                } else {
                    input->DispatchAndDelete(signal);
                }
            }
        }
        return 0;
    }

private:
    static constexpr std::size_t MaxQueueBeforeWarning = 10;

    // The input thread is woken by the machine's producers (its I/O thread, its
    // timer thread), which go back to waiting right after the wake. As a batch
    // thread it does not preempt the thread that woke it: it runs once that
    // thread waits again, on the same processor and without waking an idle
    // one, or at once on a processor that is idle. Its share of the processor
    // is that of any other thread; only the preemption at wake-up is given up,
    // and with it a context switch per datagram at low rates, while at high
    // rates the I/O thread fills larger batches before they are taken. A system
    // that refuses the policy leaves the thread as it was.
    static void RunAsBatchThread()
    {
        const sched_param none {};
        ::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &none);
    }
    static constexpr std::chrono::seconds DropTraceInterval { 1 };

    // What a queued signal counts against the byte bound: its record and payload.
    static std::size_t SignalBytes(const Signal* signal)
    {
        if (signal == nullptr) {
            return 0;
        }
        return sizeof(Signal) + static_cast<std::size_t>(signal->Length() > 0 ? signal->Length() : 0);
    }

    // What Enqueue leaves to be done once the external-queue lock is released.
    struct QueueLength {
        bool queued = false;
        std::int32_t number = 0;  // of the signal queued at the back
        std::size_t reported = 0;  // the back queue's length to report, 0 for none
    };

    // Expects the external-queue lock held. The input thread is woken, and a
    // back queue beyond 10 signals reported, by WakeAndReport after the lock
    // is released: a woken input thread then finds the lock free instead of
    // sleeping again on it, and the trace's own lock and file write never hold
    // up the input thread.
    QueueLength Enqueue(Signal* signal, bool atBack)
    {
        QueueLength length;
        length.queued = true;
        if (signal != nullptr) {
            m_load->signalCount.fetch_add(1);
            m_load->byteCount.fetch_add(SignalBytes(signal));
        }
        if (atBack) {
            m_external.push_back(signal);
            if (m_external.size() > MaxQueueBeforeWarning && m_trace != nullptr) {
                length.number = signal != nullptr ? signal->GetNumber() : 0;
                length.reported = m_external.size();
            }
        } else {
            m_external.push_front(signal);
        }
        return length;
    }

    // Called without the external-queue lock, after Enqueue: one release of
    // the semaphore per signal queued, so every release finds a signal to take.
    void WakeAndReport(const QueueLength& length)
    {
        if (length.queued) {
            m_semaphore.Release();
        }
        if (length.reported > 0) {
            char name[SignalNameBufferSize];
            m_trace->Append("\n*ExternalQ Input: %s. Queue size: %u\n", m_machine.SignalName(length.number, name),
                            static_cast<unsigned>(length.reported));
        }
    }

    // Expects the external-queue lock held.
    bool RefusesLocked(std::size_t size) const
    {
        if (m_load->Refuses(size)) {
            return true;
        }
        for (const auto& watched : m_watched) {
            if (watched->Refuses(0)) {
                return true;
            }
        }
        return false;
    }

    // Ends the episode of drops once this queue and every watched one have
    // drained below half their bound. Expects the external-queue lock held;
    // true when it ended, with the episode's drops in `drops`.
    bool EndEpisodeIfDrained(std::uint64_t& drops)
    {
        if (!m_dropEpisode || !m_load->Drained()) {
            return false;
        }
        for (const auto& watched : m_watched) {
            if (!watched->Drained()) {
                return false;
            }
        }
        m_dropEpisode = false;
        drops = m_episodeDrops;
        return true;
    }

    void TraceEpisodeEnd(std::uint64_t drops) const
    {
        if (m_trace != nullptr) {
            m_trace->Append("\n*ExternalQ Input: %s takes input again, %llu dropped while full\n",
                            m_machine.Name().c_str(), static_cast<unsigned long long>(drops));
        }
    }

    // The first external signal, or null when the queue is empty.
    Signal* TakeExternal()
    {
        std::uint64_t drops = 0;
        bool episodeEnded = false;
        Signal* signal = nullptr;
        {
            ACE_GUARD_RETURN(ACE_Mutex, guard, m_externalMutex, nullptr);
            while (signal == nullptr && !m_external.empty()) {
                signal = m_external.front();
                m_external.pop_front();
            }
            if (signal != nullptr) {
                m_load->signalCount.fetch_sub(1);
                m_load->byteCount.fetch_sub(SignalBytes(signal));
            }
            episodeEnded = EndEpisodeIfDrained(drops);
        }
        if (episodeEnded) {
            TraceEpisodeEnd(drops);
        }
        return signal;
    }

    // The first signal of the queue (null signals are skipped), or null when empty.
    static Signal* Take(ACE_Mutex& mutex, std::list<Signal*>& queue)
    {
        ACE_GUARD_RETURN(ACE_Mutex, guard, mutex, nullptr);
        while (!queue.empty()) {
            Signal* signal = queue.front();
            queue.pop_front();
            if (signal != nullptr) {
                return signal;
            }
        }
        return nullptr;
    }

    void DispatchAndDelete(Signal* signal)
    {
        const bool stateChanged = m_machine.Dispatch(&signal);
        DeleteSignal(signal);  // no-op when the job kept or forwarded the signal
        if (stateChanged) {
            ReleaseSaved();
        }
    }

    template <class Queue>
    static void DrainQueue(ACE_Mutex& mutex, Queue& queue)
    {
        ACE_GUARD(ACE_Mutex, guard, mutex);
        for (Signal* signal : queue) {
            DeleteSignal(signal);
        }
        queue.clear();
    }

    CInputSemaphore m_semaphore;
    ACE_Mutex m_externalMutex;
    ACE_Mutex m_internalMutex;
    ACE_Mutex m_savedMutex;
    Machine& m_machine;
    LogTrace* const m_trace;
    std::deque<Signal*> m_external;  // a deque: no allocation per signal
    const std::shared_ptr<CQueueLoad> m_load = std::make_shared<CQueueLoad>();
    std::vector<std::shared_ptr<const CQueueLoad>> m_watched;  // under the external-queue lock
    std::atomic<std::uint64_t> m_dropped { 0 };     // network signals refused since the start
    std::atomic<std::size_t> m_quietlyQueued { 0 };  // queued without waking the input thread yet
    std::atomic<bool> m_episodeToReport { false };  // an episode began that the machine has not heard of
    // Under the external-queue lock.
    bool m_dropEpisode = false;
    std::uint64_t m_episodeDrops = 0;
    std::chrono::steady_clock::time_point m_lastDropTrace {};
    std::list<Signal*> m_internal;
    std::list<Signal*> m_saved;
    ACE_thread_t m_threadId {};
};
