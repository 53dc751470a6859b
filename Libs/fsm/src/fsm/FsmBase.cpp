#include "fsm/FsmBase.h"

#include <cctype>

#include "LogTrace/LogTrace.h"
#include "fsm/FsmSignal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

CFsmBase::CFsmBase(const char* name, LogTrace* trace, std::uint8_t debugMask)
    : m_name(name != nullptr ? name : ""),
      m_trace(trace),
      m_debugMask(debugMask != 0 ? static_cast<std::uint8_t>(debugMask | DEBUG_MACHINE) : 0)
{
}

CFsmBase::~CFsmBase() = default;

std::string CFsmBase::ThreadName(const char* role) const
{
    // The machine's name comes from the system database: only plain characters
    // reach the kernel's thread name.
    constexpr std::size_t NameCharacters = 11;
    std::string name;
    for (const char c : m_name) {
        if (name.size() == NameCharacters) {
            break;
        }
        if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-') {
            name += c;
        }
    }
    return (name + ':' + role).substr(0, 15);
}

void CFsmBase::AskHeartbeat()
{
    CTRXSignal* heartbeat = new CTRXSignal(HEARTBEAT, nullptr, 0);
    PutExternal(&heartbeat, true);  // the queue owns it now
}

char* CFsmBase::SignalName(std::int32_t number, char* buffer) const
{
    return ::SignalName(m_signalTable, number, buffer);
}

void CFsmBase::TraceLine(int size, const char* prefix, const char* format,
                         va_list args) const
{
    char line[DataLineSize];
    int used = std::snprintf(line, size, "%s", prefix);
    if (used < 0 || used >= size) {
        used = size - 1;
    }
    std::vsnprintf(line + used, size - used, format, args);
    m_trace->AppendText(line);
}

void CFsmBase::TraceJob(const char* format, ...) const
{
    if (!TraceEnabled(DEBUG_JOB)) {
        return;
    }
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "*F: %-12.12s                      Job: ", m_name.c_str());
    va_list args;
    va_start(args, format);
    TraceLine(JobLineSize, prefix, format, args);
    va_end(args);
}

void CFsmBase::TraceData(const char* format, ...) const
{
    if (!TraceEnabled(DEBUG_DATA)) {
        return;
    }
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "*F: %-12.12s                      Data: ", m_name.c_str());
    va_list args;
    va_start(args, format);
    TraceLine(DataLineSize, prefix, format, args);
    va_end(args);
}

void CFsmBase::TraceTimer(const CFsmTimeSignal& timer, bool started, const char* format, ...) const
{
    if (!TraceEnabled(DEBUG_TIMERS)) {
        return;
    }
    char name[SignalNameBufferSize];
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "*F: %-12.12s                      %s  %-17.17s  Delay: %u",
                  m_name.c_str(), started ? "T+:" : "T-:", SignalName(timer.m_timerSignalNumber, name),
                  static_cast<unsigned>(timer.m_remainingDelay));
    va_list args;
    va_start(args, format);
    TraceLine(JobLineSize, prefix, format, args);
    va_end(args);
}

void CFsmBase::TraceDispatch(std::int32_t number, const char* state, const char* nextState, bool rowFound)
{
    if (m_trace == nullptr) {
        return;
    }
    const std::size_t size = sizeof m_lineBuffer;
    std::size_t used = 0;
    m_lineBuffer[0] = '\0';
    auto append = [&](int written) {
        if (written > 0) {
            used = std::min(size - 1, used + static_cast<std::size_t>(written));
        }
    };
    if ((m_debugMask & DEBUG_MACHINE) != 0) {
        append(std::snprintf(m_lineBuffer + used, size - used, "\n\n*F: %-12.12s ", m_name.c_str()));
    }
    if ((m_debugMask & DEBUG_SIG) != 0) {
        char name[SignalNameBufferSize];
        append(std::snprintf(m_lineBuffer + used, size - used, "S: %-17.17s ", SignalName(number, name)));
    }
    if ((m_debugMask & DEBUG_TRANS) != 0) {
        append(std::snprintf(m_lineBuffer + used, size - used, "%s %-15.15s --> %-15.15s",
                             rowFound ? "St: " : "ASt:", state, nextState));
    }
    if (used > 0) {
        m_trace->AppendText(m_lineBuffer);
    }
}
