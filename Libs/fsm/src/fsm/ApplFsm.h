// The base of every application state machine: owns the input and timer
// objects and the thread manager, starts and stops the input and timer
// threads, and offers the jobs the framework provides (Save).
// PutExternal and PutExternalBounded may be called from any thread; PutInternal, StartTimer, StopTimer
// and Save from the machine's own jobs (and InitJob); Start and Stop from the
// thread that owns the machine.
#pragma once

#include "fsm/Fsm.h"
#include "fsm/FsmInput.h"
#include "fsm/FsmTimer.h"

#include <ace/OS_NS_sys_time.h>
#include <ace/Thread_Manager.h>
#include <ace/Time_Value.h>

#include <memory>
#include <string>
#include <type_traits>

template <class App, class Signal>
class CApplFsm : public CFsm<App, Signal> {
    static_assert(std::is_same<Signal, CTRXSignal>::value, "state machines exchange CTRXSignal");

public:
    using Base = CFsm<App, Signal>;
    using typename Base::StateEntry;

    static constexpr int StopTimeoutSeconds = 10;

    CApplFsm(const char* name, const StateEntry* stateTable, std::int32_t initialState, LogTrace* trace,
             std::uint8_t debugMask)
        : Base(name, stateTable, initialState, trace, debugMask),
          m_timer(std::make_unique<CFsmTimer<App, Signal>>(*this, trace)),
          m_input(std::make_unique<CFsmInput<App, Signal>>(*this, trace))
    {
    }

    // Stops the threads if the application has not done so. The input and timer
    // objects are released only when the threads have ended; should a thread
    // still be inside a job after the bounded wait, they are left to it.
    ~CApplFsm() override
    {
        Stop();
        if (!m_threadsEnded) {
            m_input.release();
            m_timer.release();
            m_threadManager.release();
        }
    }

    // Runs InitJob in the calling thread, then starts the timer and input threads.
    void Start(long priority)
    {
        if (m_threadManager) {
            return;
        }
        m_threadManager = std::make_unique<ACE_Thread_Manager>();
        InitJob();
        // The threads carry the machine's name, so that `top -H` tells them apart.
        const std::string timerName = this->ThreadName("tm");
        const std::string inputName = this->ThreadName("in");
        const char* timerNamePointer = timerName.c_str();
        const char* inputNamePointer = inputName.c_str();
        m_timerArgs = { m_threadManager.get(), m_timer.get() };
        m_threadManager->spawn(&CFsmTimer<App, Signal>::TimerThread, &m_timerArgs, THR_NEW_LWP | THR_DETACHED,
                               nullptr, nullptr, priority, -1, nullptr, ACE_DEFAULT_THREAD_STACKSIZE,
                               &timerNamePointer);
        m_inputArgs = { m_threadManager.get(), m_input.get() };
        m_threadManager->spawn(&CFsmInput<App, Signal>::InputThread, &m_inputArgs, THR_NEW_LWP | THR_DETACHED,
                               nullptr, nullptr, priority, -1, nullptr, ACE_DEFAULT_THREAD_STACKSIZE,
                               &inputNamePointer);
        Signal* wakeUp = new Signal(FSM_TIMEHANDL, nullptr, 0);
        PutExternal(&wakeUp, false);
    }

    // Cancels both threads, wakes the input thread and waits at most 10 s for
    // them. Called from a thread of this machine itself it does not wait (the
    // wait would only run into its own deadline). Safe to call more than once.
    void Stop()
    {
        if (!m_threadManager || m_stopRequested) {
            return;
        }
        m_stopRequested = true;
        m_threadManager->cancel_all();
        Signal* wakeUp = new Signal(FSM_TIMEHANDL, nullptr, 0);
        PutExternal(&wakeUp, false);
        if (m_threadManager->thread_within(ACE_Thread::self())) {
            m_threadsEnded = false;
            return;
        }
        const ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(StopTimeoutSeconds);
        m_threadsEnded = m_threadManager->wait(&deadline) == 0;
    }

    void PutExternal(CTRXSignal** signal, bool atBack) override
    {
        m_input->PutExternal(*signal, atBack);
        *signal = nullptr;  // the queue owns it now
    }

    bool PutExternalBounded(CTRXSignal** signal) override
    {
        CTRXSignal* handed = *signal;
        *signal = nullptr;  // the queue owns it now, or has deleted it
        return m_input->PutExternalBounded(handed);
    }

    bool PutExternalBoundedQuietly(CTRXSignal** signal) override
    {
        CTRXSignal* handed = *signal;
        *signal = nullptr;  // the queue owns it now, or has deleted it
        return m_input->PutExternalBoundedQuietly(handed);
    }

    void WakeForQueued() override { m_input->WakeForQueued(); }

    std::shared_ptr<const CQueueLoad> ExternalLoad() const override { return m_input->Load(); }

    // This machine relays network signals to `other`: while the other's queue
    // is at its bound, this machine takes nothing from the network either.
    void WatchQueueOf(const CFsmBase& other) { m_input->WatchLoad(other.ExternalLoad()); }

    // Network signals dropped since the machine was made (for diagnostics and tests).
    std::uint64_t DroppedInput() const { return m_input->Dropped(); }

    void PutInternal(Signal* signal) { m_input->PutInternal(signal); }

    // The number of the signal the machine takes next, 0 when none waits
    // (CFsmInput::NextSignalNumber). For the machine's own jobs.
    std::int32_t NextSignalNumber() const { return m_input->NextSignalNumber(); }

    void StartTimer(std::int32_t number, std::int32_t delayMs, char* payload = nullptr, std::int32_t length = 0)
    {
        m_timer->StartTimer(number, delayMs, payload, length);
    }

    void StopTimer(std::int32_t number) { m_timer->StopTimer(number); }

    // Number of timers running (for diagnostics and tests).
    std::size_t RunningTimers() const { return m_timer->Count(); }

    // Framework job: keeps the signal until the next change of state.
    void Save(Signal** signal)
    {
        this->TraceJob("Save");
        m_input->Save(*signal);
        *signal = nullptr;
    }

    // Run once by Start, in the starting thread, before the machine's threads exist.
    virtual void InitJob() {}

private:
    friend class CFsmInput<App, Signal>;
    friend class CFsmTimer<App, Signal>;

    void WithdrawInternal(std::int32_t number) { m_input->WithdrawInternal(number); }

    std::unique_ptr<CFsmTimer<App, Signal>> m_timer;
    std::unique_ptr<CFsmInput<App, Signal>> m_input;
    std::unique_ptr<ACE_Thread_Manager> m_threadManager;
    typename CFsmTimer<App, Signal>::ThreadArgs m_timerArgs {};
    typename CFsmInput<App, Signal>::ThreadArgs m_inputArgs {};
    bool m_stopRequested = false;
    bool m_threadsEnded = true;
};
