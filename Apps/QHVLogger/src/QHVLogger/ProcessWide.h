// What the whole process shares, used by the supervisor and the loggers from
// any thread: the process logger and its set-up, the termination semaphore,
// the opening of the control port, and the end of the process.
#pragma once

#include "platform/PortClaim.h"

#include <ace/Semaphore.h>
#include <log4cplus/logger.h>

#include <cstdint>

class CMessages;
class LogTrace;
class UdpReceiver;

// Released by a terminating job (count 0, maximum 2147483647); the main thread
// waits for the first release and then ends the process.
extern ACE_Semaphore g_terminationSemaphore;

// The process logger "QHVLOGGER": start, termination and receiver lines, and
// at every debug mask what a person watching wants: files opened and closed,
// rates, status changes, errors and operator messages.
log4cplus::Logger ProcessLogger();

// Each operator message that `messages` records (or loses to an unavailable
// database) also goes to the process log as a warning, with its number and text.
void ReportMessagesToProcessLog(CMessages& messages);

// log4cplus from "log4cplus_configureQHV.ini" in the configuration directory,
// else in the working directory; then the start lines on the process logger.
void ConfigureProcessLog();

// Claims and binds the supervisor's control port; the claim returned keeps
// other QHVLogger processes off the port while it lives. The process cannot work
// without the port: a failure, or another QHVLogger holding it, is written to
// standard error, the process log and the trace (port and reason) and the
// process ends with exit code -1.
platform::PortClaim OpenControlPortOrEnd(UdpReceiver& receiver, std::uint16_t port, LogTrace* trace);

// Ends the process with `exitCode` without running static destructors, which
// other threads may still be using: standard streams are flushed first. The
// caller shuts log4cplus down before where that is safe.
[[noreturn]] void EndProcess(int exitCode);

// Shuts the process log (log4cplus) down, then ends the process with `exitCode`.
// Every end of the process after the log was configured goes through here.
[[noreturn]] void ShutdownLogAndEndProcess(int exitCode);
