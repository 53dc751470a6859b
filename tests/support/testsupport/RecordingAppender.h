// A log4cplus appender that keeps every message it receives, so tests can check
// trace and process-log lines exactly. Thread-safe; attach it to any logger.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class RecordingAppender : public log4cplus::Appender {
public:
    RecordingAppender() { setName(LOG4CPLUS_TEXT("recording")); }
    ~RecordingAppender() override { destructorImpl(); }

    void close() override {}

    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(event.getMessage());
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Attaches a RecordingAppender to the named logger at the given level for the
// lifetime of the object and removes it again afterwards.
class ScopedRecorder {
public:
    explicit ScopedRecorder(const char* loggerName, log4cplus::LogLevel level = log4cplus::DEBUG_LOG_LEVEL)
        : m_logger(log4cplus::Logger::getInstance(LOG4CPLUS_C_STR_TO_TSTRING(loggerName))),
          m_previousLevel(m_logger.getLogLevel()),
          m_appender(new RecordingAppender)
    {
        m_logger.setLogLevel(level);
        m_logger.addAppender(log4cplus::SharedAppenderPtr(m_appender.get()));
    }
    ~ScopedRecorder()
    {
        m_logger.removeAppender(log4cplus::SharedAppenderPtr(m_appender.get()));
        m_logger.setLogLevel(m_previousLevel);
    }
    ScopedRecorder(const ScopedRecorder&) = delete;
    ScopedRecorder& operator=(const ScopedRecorder&) = delete;

    std::vector<std::string> lines() const { return m_appender->lines(); }
    void clear() { m_appender->clear(); }

private:
    log4cplus::Logger m_logger;
    log4cplus::LogLevel m_previousLevel;
    log4cplus::helpers::SharedObjectPtr<RecordingAppender> m_appender;
};

}  // namespace testsupport
