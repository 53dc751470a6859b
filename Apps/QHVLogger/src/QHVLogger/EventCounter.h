// Input frequency supervision of the heave logger: CEventCounter counts the logged
// datagrams and its timing thread (CDoTiming) compares each window's count with the
// expected one, putting INPUT_FREQ_REPORT into the logger's queue when the rate is
// too low. Construction, SetParameters, CountEvent and deletion belong to the
// logger's thread; the timing thread is the counter's own.
#pragma once

#include "db/DBoperations.h"
#include "db/Messages.h"
#include "fsm/FsmSignal.h"
#include "fsm/SignalNames.h"
#include "platform/Time.h"

#include <ace/Guard_T.h>
#include <ace/Semaphore.h>
#include <ace/Task.h>
#include <ace/Thread_Manager.h>
#include <ace/Time_Value.h>

#include <pthread.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

class CFsmBase;

// The payload of INPUT_FREQ_REPORT.
struct FrequencyReport {
    double expectedRate;  // Hz
    double receivedRate;  // Hz
    int limit;            // percent
};

// A new INPUT_FREQ_REPORT signal from `sender` whose payload is a new[] array of
// sizeof(FrequencyReport) bytes holding `report`.
CTRXSignal* NewFrequencyReportSignal(CFsmBase* sender, const FrequencyReport& report);

// The report a signal carries; nothing when it has no payload or one of another size.
std::optional<FrequencyReport> ReadFrequencyReport(const CTRXSignal& signal);

// The expected count per window after the slow-rate allowance: for windows of 1 to
// 20.999 s at no more than one event per second, a few missing events are allowed
// (10 s at 1 Hz expects 7, 20 s at 1 Hz expects 14). Other values come back unchanged.
int AllowedExpectedCount(int windowMs, int expectedCount);

// Where the timing takes the time from: the monotonic clock, unless a test drives it.
using EventClock = std::function<ACE_Time_Value()>;
ACE_Time_Value MonotonicClockNow();

// Whole milliseconds from `from` to `to`, negative when `to` is earlier.
long long ElapsedMs(const ACE_Time_Value& from, const ACE_Time_Value& to);

// The locks and the count that the counter and its timing thread share.
// Lock order: the parameter lock before the counter lock.
struct EventCountState {
    int count = 0;                       // events since the current window began
    ACE_Semaphore counterLock { 1 };     // guards count, window start and measuring
    ACE_Semaphore parameterLock { 1 };   // guards the four parameters
};

// The timing thread: every 100 ms it checks whether the current window (or pause)
// is over, and at the end of a window compares the count with the expected one.
// SetParameters comes from the logger's thread; everything else runs in the thread.
template <class T>
class CDoTiming : public ACE_Task_Base {
public:
    static constexpr int PollMs = 100;

    CDoTiming(T& owner, EventCountState& shared, EventClock clock)
        : m_owner(owner), m_shared(shared), m_clock(std::move(clock))
    {
        // The task's threads are its own, apart from those of the state machines.
        thr_mgr(&m_threads);
    }
    ~CDoTiming() override { Stop(); }

    CDoTiming(const CDoTiming&) = delete;
    CDoTiming& operator=(const CDoTiming&) = delete;

    // Starts the one thread and returns once it has begun its first window, so that
    // no event counted after this call is wiped out by the thread's start.
    void Start()
    {
        if (activate(THR_NEW_LWP | THR_JOINABLE, 1) != 0) {
            std::cerr << "CDoTiming: the timing thread could not be started" << std::endl;
            return;
        }
        m_started.acquire();
    }

    // Sets stop and waits for the thread (at most one sleep and one evaluation).
    void Stop()
    {
        m_stop = true;
        wait();
    }

    // Stores the parameters (expected count already with the allowance) and
    // starts a new window now.
    void SetParameters(int windowMs, int expectedCount, int pauseMs, int limitPercent)
    {
        ACE_Guard<ACE_Semaphore> parameters(m_shared.parameterLock);
        m_limit = limitPercent;
        m_window = windowMs;
        m_expectedCount = expectedCount;
        m_pause = pauseMs;
        ACE_Guard<ACE_Semaphore> counter(m_shared.counterLock);
        m_shared.count = 0;
        m_windowStart = m_clock();
        m_measuring = true;
    }

    int svc() override
    {
        ::pthread_setname_np(::pthread_self(), m_owner.ThreadName("freq").c_str());
        {
            ACE_Guard<ACE_Semaphore> counter(m_shared.counterLock);
            m_shared.count = 0;
            m_windowStart = m_clock();
            m_measuring = true;
        }
        m_started.release();
        while (!m_stop) {
            platform::SleepMs(PollMs);
            Evaluate();
        }
        return 0;
    }

private:
    // One pass: ends the window or the pause when its time is up.
    void Evaluate()
    {
        ACE_Guard<ACE_Semaphore> parameters(m_shared.parameterLock);
        if (m_window < 1) {
            return;  // no parameters yet
        }
        const ACE_Time_Value now = m_clock();
        const long long elapsedMs = ElapsedMs(m_windowStart, now);
        if (m_measuring) {
            if (elapsedMs < m_window) {
                return;
            }
            ACE_Guard<ACE_Semaphore> counter(m_shared.counterLock);
            m_measuring = m_pause <= 0;
            m_windowStart = now;
            // Rates over the nominal window, not the measured time, so that a late
            // pass does not make the rate look lower than it was.
            const double seconds = m_window / 1000.0;
            const double expectedRate = m_expectedCount / seconds;
            const double receivedRate = m_shared.count / seconds;
            if (m_limit * expectedRate / 100.0 > receivedRate) {
                ReportFrequency(FrequencyReport { expectedRate, receivedRate, m_limit });
            }
            m_shared.count = 0;
        } else {
            if (elapsedMs < m_pause) {
                return;
            }
            // Events of the pause are dropped: every window starts from 0.
            ACE_Guard<ACE_Semaphore> counter(m_shared.counterLock);
            m_measuring = true;
            m_windowStart = now;
            m_shared.count = 0;
        }
    }

    void ReportFrequency(const FrequencyReport& report)
    {
        CTRXSignal* signal = NewFrequencyReportSignal(&m_owner, report);
        m_owner.PutExternal(&signal, true);  // the owner's queue takes the signal and nulls the pointer
    }

    T& m_owner;
    EventCountState& m_shared;
    const EventClock m_clock;
    ACE_Thread_Manager m_threads;
    ACE_Semaphore m_started { 0 };
    std::atomic<bool> m_stop { false };

    // Parameters, under the parameter lock; a window of 0 means none set yet.
    int m_window = 0;  // ms
    int m_expectedCount = 0;
    int m_pause = 0;   // ms
    int m_limit = 0;   // percent
    // Under the counter lock (read by the thread with the parameter lock held,
    // which keeps SetParameters out).
    ACE_Time_Value m_windowStart;
    bool m_measuring = true;  // false while a pause runs
};

// Counts events (heave datagrams) for the input frequency supervision of its owner,
// a state machine, and reports a low rate to it as INPUT_FREQ_REPORT.
template <class T>
class CEventCounter {
public:
    explicit CEventCounter(T& owner) : CEventCounter(owner, MonotonicClockNow) {}

    // Like the above with the timing's time taken from `clock`.
    CEventCounter(T& owner, EventClock clock)
        : m_database(std::make_unique<CDBoperations>("EventCounter")),
          m_messages(std::make_unique<CMessages>()),
          m_timing(owner, m_shared, std::move(clock))
    {
        // Every user of the system database has its own connected object and
        // message store; the counter itself sends nothing through them.
        m_messages->setDatabase(m_database.get());
        m_database->connect(SystemDataSource, SystemDatabaseUser, SystemDatabasePassword, nullptr);
        m_messages->loadMessageTypes();
        m_timing.Start();
    }

    // Stops the timing thread and waits for it.
    virtual ~CEventCounter() { m_timing.Stop(); }

    CEventCounter(const CEventCounter&) = delete;
    CEventCounter& operator=(const CEventCounter&) = delete;

    // Window and pause in ms, expected events per window, limit in percent of the
    // expected rate. Starts a new window now.
    void SetParameters(int windowMs, int expectedCount, int pauseMs, int limitPercent)
    {
        m_timing.SetParameters(windowMs, AllowedExpectedCount(windowMs, expectedCount), pauseMs, limitPercent);
    }

    void CountEvent()
    {
        m_shared.counterLock.acquire();
        ++m_shared.count;
        m_shared.counterLock.release();
    }

private:
    EventCountState m_shared;
    std::unique_ptr<CDBoperations> m_database;
    std::unique_ptr<CMessages> m_messages;  // uses m_database
    CDoTiming<T> m_timing;                  // uses m_shared; declared last, so it goes first
};
