// The timer object of a state machine: the list of running one-shot timers and
// the timer thread that ticks them every 100 ms and turns expired ones into
// signals. StartTimer and StopTimer run in the machine's own jobs.
#pragma once

#include "LogTrace/LogTrace.h"
#include "fsm/FsmSignal.h"

#include <ace/Guard_T.h>
#include <ace/Mutex.h>
#include <ace/Thread.h>
#include <ace/Thread_Manager.h>

#include <chrono>
#include <cstdint>
#include <list>
#include <thread>

template <class App, class Signal>
class CApplFsm;

template <class App, class Signal>
class CFsmTimer {
public:
    using Machine = CApplFsm<App, Signal>;

    // Argument record of the timer thread.
    struct ThreadArgs {
        ACE_Thread_Manager* threadManager;
        CFsmTimer* timer;
    };

    static constexpr std::int32_t TickMs = 100;

    CFsmTimer(Machine& machine, LogTrace* trace) : m_machine(machine), m_trace(trace) {}

    CFsmTimer(const CFsmTimer&) = delete;
    CFsmTimer& operator=(const CFsmTimer&) = delete;

    virtual ~CFsmTimer()
    {
        ACE_GUARD(ACE_Mutex, guard, m_mutex);
        for (CFsmTimeSignal* record : m_timers) {
            record->ReleasePayload();
            delete record;
        }
        m_timers.clear();
    }

    // Starts a one-shot timer; it takes ownership of the payload.
    void StartTimer(std::int32_t number, std::int32_t delayMs, char* payload, std::int32_t length)
    {
        auto* record = new CFsmTimeSignal(FSM_TIMEOUT, number, delayMs, payload, length);
        m_machine.TraceTimer(*record, true, "%s", "");
        ACE_GUARD(ACE_Mutex, guard, m_mutex);
        m_timers.push_back(record);
    }

    // Cancels every timer with this signal number and withdraws an expiry of it
    // that waits in the internal queue.
    void StopTimer(std::int32_t number)
    {
        CFsmTimeSignal key(FSM_TIMEOUT, number, 0, nullptr, 0);
        m_machine.TraceTimer(key, false, "%s", "");
        ACE_GUARD(ACE_Mutex, guard, m_mutex);
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            if ((*it)->m_timerSignalNumber == number) {
                (*it)->ReleasePayload();
                delete *it;
                it = m_timers.erase(it);
            } else {
                ++it;
            }
        }
        m_machine.WithdrawInternal(number);
    }

    // Counts every timer down by one tick; expired timers become signals in the
    // internal queue, and a wake-up at the front of the external queue lets the
    // input thread see them.
    void Tick()
    {
        ACE_GUARD(ACE_Mutex, guard, m_mutex);
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            CFsmTimeSignal* record = *it;
            if (!record->Tick(TickMs)) {
                ++it;
                continue;
            }
            auto* expired = new Signal(*record);
            record->ReleasePayload();
            delete record;
            it = m_timers.erase(it);
            m_machine.PutInternal(expired);
            auto* wakeUp = new Signal(FSM_TIMEHANDL, nullptr, 0);
            m_machine.PutExternal(&wakeUp, false);
        }
    }

    std::size_t Count() const
    {
        ACE_GUARD_RETURN(ACE_Mutex, guard, m_mutex, 0);
        return m_timers.size();
    }

    static ACE_THR_FUNC_RETURN TimerThread(void* arg)
    {
        auto* args = static_cast<ThreadArgs*>(arg);
        args->timer->m_threadId = ACE_Thread::self();
        while (!args->threadManager->testcancel(ACE_Thread::self())) {
            args->timer->Tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(TickMs));
        }
        return 0;
    }

private:
    mutable ACE_Mutex m_mutex;
    Machine& m_machine;
    LogTrace* const m_trace;
    std::list<CFsmTimeSignal*> m_timers;
    ACE_thread_t m_threadId {};
};
