// The non-template root of every state machine: its name, debug mask, trace
// object and signal-name table, the trace lines of jobs and timers, and the
// thread-safe entries for signals from outside (PutExternal, and
// PutExternalBounded for what comes from the network).
// TraceJob, TraceData and TraceTimer only read constant fields and may be called
// from any thread; the trace object serialises its output.
#pragma once

#include "fsm/FsmQueueLoad.h"
#include "fsm/SignalNames.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

class CFsmTimeSignal;
class CTRXSignal;
class LogTrace;

// Bits of the debug mask.
enum DebugMaskBit : std::uint8_t {
    DEBUG_TRANS = 1,    // state part of the dispatch line
    DEBUG_SIG = 2,      // signal part of the dispatch line
    DEBUG_JOB = 4,      // "Job: " lines
    DEBUG_DATA = 8,     // "Data: " lines
    DEBUG_TIMERS = 16,  // timer start and stop lines
    DEBUG_ALL = 31,
    DEBUG_MACHINE = 128,  // set internally whenever the mask is not 0: the dispatch line head
};

class CFsmBase {
public:
    // `trace` may be null (no debugging); a non-zero mask gets bit 128 added.
    CFsmBase(const char* name, LogTrace* trace, std::uint8_t debugMask);
    virtual ~CFsmBase();

    CFsmBase(const CFsmBase&) = delete;
    CFsmBase& operator=(const CFsmBase&) = delete;

    // Hands a signal to this machine from any thread: at the back of its external
    // queue, or at the front when `atBack` is false. The queue takes the signal;
    // the caller must not touch it afterwards.
    virtual void PutExternal(CTRXSignal** signal, bool atBack) = 0;

    // Hands a signal made from a network datagram to this machine from any
    // thread: at the back of its external queue while the queue is below its
    // bound (see FsmQueueLoad.h), else the signal and its payload are deleted
    // and counted as dropped. The caller's pointer is null afterwards either
    // way. True when queued. A machine without a bounded queue takes every signal.
    virtual bool PutExternalBounded(CTRXSignal** signal)
    {
        PutExternal(signal, true);
        return true;
    }

    // PutExternalBounded for one of several datagrams handed over in a row: the
    // input thread is not woken for it until WakeForQueued, which the producer
    // calls after the last of them (from the same thread). A machine without a
    // bounded queue takes and wakes at once.
    virtual bool PutExternalBoundedQuietly(CTRXSignal** signal) { return PutExternalBounded(signal); }
    virtual void WakeForQueued() {}

    // Called in the machine's input thread, between two dispatches, once for
    // each episode of dropped network signals (it begins with the first drop
    // and ends when the queue has drained below half its bound), with the
    // number dropped since the machine started. The machine may report it
    // through its own objects; the default does nothing.
    virtual void OnInputDropped(std::uint64_t /*droppedSoFar*/) {}

    // The load of the external queue; null for a machine without a bounded queue.
    virtual std::shared_ptr<const CQueueLoad> ExternalLoad() const { return nullptr; }

    // Heartbeats: a watchdog asks the machine for a sign of life, a HEARTBEAT
    // signal at the back of its external queue; the input thread answers it
    // when it takes it, so the answer says that the thread is not stuck in a job
    // and that the queue drains. TakeHeartbeatAnswer tells whether the
    // heartbeat asked for last was answered (true before the first) and starts
    // the next round. Any thread may call them.
    void AskHeartbeat();
    void AnswerHeartbeat() { m_heartbeatAnswered = true; }
    bool TakeHeartbeatAnswer() { return m_heartbeatAnswered.exchange(false); }

    const std::string& Name() const { return m_name; }
    // The name a thread of this machine carries ("QHVLOGGER:in"), as `top -H`
    // and `perf` show it: the machine's name in letters, digits, '_' and '-'
    // cut to 11 characters, then ':' and `role`, at most 15 in all.
    std::string ThreadName(const char* role) const;
    std::uint8_t DebugMask() const { return m_debugMask; }
    LogTrace* Trace() const { return m_trace; }

    // "Job: " trace line (mask bit 4).
    void TraceJob(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // "Data: " trace line (mask bit 8); the text is cut to fit 2000 characters.
    void TraceData(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // Timer start ("T+:") or stop ("T-:") line for a timer record (mask bit 16).
    void TraceTimer(const CFsmTimeSignal& timer, bool started, const char* format, ...) const
        __attribute__((format(printf, 4, 5)));

    // Name of a signal number from this machine's signal-name table.
    char* SignalName(std::int32_t number, char* buffer) const;

    bool TraceEnabled(std::uint8_t bit) const { return m_trace != nullptr && (m_debugMask & bit) != 0; }

protected:
    static constexpr int JobLineSize = 512;
    static constexpr int DataLineSize = 2000;

    const std::string m_name;
    std::atomic<bool> m_heartbeatAnswered { true };
    LogTrace* const m_trace;
    const std::uint8_t m_debugMask;
    const SignalNameRow* const m_signalTable = g_SignalNameTable;

    // Writes the dispatch line of a signal: machine, signal name and the state
    // change, as far as the mask asks for them; `rowFound` tells a table row
    // ("St:") from the default row ("ASt:"). Called by the input thread only.
    void TraceDispatch(std::int32_t number, const char* state, const char* nextState, bool rowFound);

private:
    char m_lineBuffer[128] = {};
    void TraceLine(int size, const char* prefix, const char* format, va_list args) const;
};
