// The process's trace object: formats printf-style texts and writes each one
// whole to the log4cplus logger "LogTrace" (DEBUG) and, when switched on, to
// standard error. One lock keeps lines of different threads apart; callable
// from any thread.
#pragma once

#include <ace/Token.h>
#include <log4cplus/logger.h>

class LogTrace {
public:
    LogTrace();
    virtual ~LogTrace();

    LogTrace(const LogTrace&) = delete;
    LogTrace& operator=(const LogTrace&) = delete;

    // Also copy every text to standard error (off until set).
    virtual void SetConsole(bool on);

    // Formats with printf conventions (cut at the buffer size) and writes the text.
    virtual void Append(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Writes a text composed by the caller as it stands: a '%' in it is no directive.
    void AppendText(const char* text) { Append("%s", text); }

    static constexpr int BufferSize = 30000;

private:
    bool m_console = false;
    ACE_Token m_lock;
    log4cplus::Logger m_logger;
};
