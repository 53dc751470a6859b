// The process shell: entry, command line, console handlers, the process-wide
// semaphore, supervisor pointer and logger, and the end of the process. The entry
// runs in the main thread; the rest may be used from any thread.
#pragma once

#include "platform/PortClaim.h"

#include <ace/Semaphore.h>
#include <log4cplus/logger.h>

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <string>

class CFsmBase;
class LogTrace;
class UdpReceiver;

// Released by a terminating job (count 0, maximum 2147483647); the main thread
// waits for the first release and then ends the process.
extern ACE_Semaphore g_terminationSemaphore;

// The supervisor state machine: null until the run sequence has created it.
// The console handlers read it.
extern std::atomic<CFsmBase*> g_supervisor;

// The process logger "QHVLOGGER": start, termination and receiver lines.
log4cplus::Logger ProcessLogger();

// Looks for the option keyword of `format` (from its '-' to the first blank)
// among argv[1] .. argv[argc-1] as a whole argument and converts the arguments
// after it, one per '%' of the format, into the destinations that follow:
// %c decimal into std::uint8_t (kept modulo 256), %d decimal into double,
// %i and %l decimal into std::int32_t, %x hexadecimal into std::int32_t,
// %s the argument pointer itself into char*.
// Returns 2 when found and converted, 1 when the option is absent or the values
// it needs are missing at the end of the command line (destinations untouched),
// 0 for a faulty format (the reason is written to standard error).
int ReadArg(int argc, char* argv[], const char* format, ...);

// The outcome of the command line.
struct CommandLineOptions {
    enum class Next {
        Run,             // options summarised: go on with the run
        WaitKeyThenEnd,  // help or usage shown: wait for one key, end with exit code 0
        End,             // usage shown: end with exit code 0
    };

    std::string processName;
    std::uint8_t debugMask = 0;
    std::string logFile;
    bool noConsole = false;
    int errorCount = 0;
    Next next = Next::Run;
};

// Evaluates the options in their fixed order and writes the empty line after
// the name, any error lines, and then the debug usage (for -help), the usage
// (after errors) or the option summary to `out` (standard error in the process).
CommandLineOptions EvaluateOptions(int argc, char* argv[], std::ostream& out);

// The texts of the command line.
void WriteDebugUsage(std::ostream& out);
void WriteUsage(std::ostream& out);
void WriteOptionSummary(std::ostream& out, const CommandLineOptions& options);

// All arguments, argv[0] included, each followed by one blank.
std::string CommandLineText(int argc, char* argv[]);

// log4cplus from "log4cplus_configureQHV.ini" in the configuration directory,
// else in the working directory; then the start lines on the process logger.
void ConfigureProcessLog();

// Console handlers for SIGINT and SIGTERM: the message on standard output, then,
// once the supervisor exists, the terminate sentence as signal ZELIX_24 at the
// back of its external queue.
void InterruptHandler(int signalNumber);
void TerminationHandler(int signalNumber);

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

// The entry: configures, evaluates the command line, creates the trace object
// for a non-zero mask and runs until the termination semaphore is released.
// Every path ends the process; it never returns.
[[noreturn]] int ace_main_i(int argc, char* argv[]);

// The run, once the options are known: start lines, waiting for termination,
// "Terminated!", log4cplus shut down, exit code 0.
[[noreturn]] void RunProcess(const CommandLineOptions& options, LogTrace* trace, const std::string& commandLine);
