#include "LogTrace/LogTrace.h"

#include <log4cplus/loggingmacros.h>

#include <cstdarg>
#include <cstdio>
#include <iostream>

LogTrace::LogTrace() : m_logger(log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("LogTrace"))) {}

LogTrace::~LogTrace() = default;

void LogTrace::SetConsole(bool on)
{
    m_console = on;
}

void LogTrace::Append(const char* format, ...)
{
    ACE_GUARD(ACE_Token, guard, m_lock);

    char text[BufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    if (m_logger.isEnabledFor(log4cplus::DEBUG_LOG_LEVEL)) {
        LOG4CPLUS_DEBUG(m_logger, LOG4CPLUS_C_STR_TO_TSTRING(text));
    }
    if (m_console) {
        std::cerr << text << std::endl;
    }
}
