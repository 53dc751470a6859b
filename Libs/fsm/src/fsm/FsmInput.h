// The input object of a state machine: its external, internal and saved queues
// and the input thread that dispatches one signal at a time. PutExternal may be
// called from any thread; PutInternal, Save and the withdrawal of internal
// signals from the machine's own jobs and its timer thread.
#pragma once

#include "LogTrace/LogTrace.h"
#include "fsm/FsmSignal.h"

#include <ace/Guard_T.h>
#include <ace/Mutex.h>
#include <ace/Semaphore.h>
#include <ace/Thread.h>
#include <ace/Thread_Manager.h>

#include <cstdint>
#include <list>

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
        ACE_GUARD(ACE_Mutex, guard, m_externalMutex);
        if (atBack) {
            m_external.push_back(signal);
            m_semaphore.release();
            if (m_external.size() > MaxQueueBeforeWarning && m_trace != nullptr) {
                char name[SignalNameBufferSize];
                const std::int32_t number = signal != nullptr ? signal->GetNumber() : 0;
                m_trace->Append("\n*ExternalQ Input: %s. Queue size: %u\n", m_machine.SignalName(number, name),
                                static_cast<unsigned>(m_external.size()));
            }
        } else {
            m_external.push_front(signal);
            m_semaphore.release();
        }
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
        while (!args->threadManager->testcancel(ACE_Thread::self())) {
            while (Signal* signal = input->Take(input->m_internalMutex, input->m_internal)) {
                input->DispatchAndDelete(signal);
            }
            input->m_semaphore.acquire();
            if (Signal* signal = input->Take(input->m_externalMutex, input->m_external)) {
                if (signal->GetNumber() == FSM_TIMEHANDL) {
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

    static void DrainQueue(ACE_Mutex& mutex, std::list<Signal*>& queue)
    {
        ACE_GUARD(ACE_Mutex, guard, mutex);
        for (Signal* signal : queue) {
            DeleteSignal(signal);
        }
        queue.clear();
    }

    ACE_Semaphore m_semaphore { 0, USYNC_THREAD, nullptr, nullptr, 2147483647 };
    ACE_Mutex m_externalMutex;
    ACE_Mutex m_internalMutex;
    ACE_Mutex m_savedMutex;
    Machine& m_machine;
    LogTrace* const m_trace;
    std::list<Signal*> m_external;
    std::list<Signal*> m_internal;
    std::list<Signal*> m_saved;
    ACE_thread_t m_threadId {};
};
