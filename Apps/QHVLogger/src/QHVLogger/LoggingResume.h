// What lets logging go on after the process ended abnormally (a crash, kill -9,
// the service watchdog): which logger was on, with which settings. It is kept in
// a small file in the drive root (the service's state folder), replaced
// atomically whenever a logger switches on or off and when the process ends
// regularly. The next start resumes a logger that was on only when the last
// run did not end regularly. One object per process; any thread may call it.
#pragma once

#include "QHVLogger/LoggerShared.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

class CLoggingResume {
public:
    // Reads what the last run of process `processName` left in `folder` (a
    // native path), and marks this run as running. Until then nothing is kept.
    void Open(const std::string& folder, const std::string& processName);

    // The settings of `logger` (its parameter-row name, "QHVLOGGER" or
    // "P2XLOGGER") when it was on as the last run ended abnormally.
    std::optional<LoggerSettings> ToResume(const std::string& logger) const;

    // A logger took the settings of a logging command, or switched off.
    void LoggingOn(const std::string& logger, const LoggerSettings& settings);
    void LoggingOff(const std::string& logger);

    // The process ends regularly (sentence 24, a console signal): nothing is resumed next time.
    void RegularEnd();

    // The file's name in its folder.
    static std::string FileName(const std::string& processName);

private:
    void LoggingOffLocked(const std::string& logger);
    void Save(bool regularEnd);

    mutable std::mutex m_mutex;
    std::string m_path;  // empty until Open
    bool m_ended = false;  // the regular end is written: nothing changes the file any more
    std::map<std::string, LoggerSettings> m_on;       // loggers now on
    std::map<std::string, LoggerSettings> m_resume;   // on when the last run ended abnormally
};

// The process's one object.
CLoggingResume& LoggingResume();
