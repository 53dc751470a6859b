#include "QHVLogger/QHV.h"

#include "LogTrace/LogTrace.h"
#include "QHVLogger/ConsoleStop.h"
#include "QHVLogger/LoggingResume.h"
#include "QHVLogger/OrvantaControl.h"
#include "QHVLogger/ProcessWide.h"
#include "QHVLogger/StatusPublisher.h"
#include "db/DBoperations.h"
#include "db/Messages.h"
#include "platform/Paths.h"
#include "tokens/TokenStore.h"

#include <ace/OS_NS_sys_time.h>
#include <log4cplus/loggingmacros.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <algorithm>
#include <iostream>
#include <string>

namespace {

void WaitForKey()
{
    std::cin.get();
}

// Ends the process when the command line asks for no run: the help or the
// usage was shown; exit code 0, after one key where the texts ask for it.
void EndUnlessToRun(const CommandLineOptions& options)
{
    if (options.next != CommandLineOptions::Next::Run) {
        if (options.next == CommandLineOptions::Next::WaitKeyThenEnd) {
            WaitForKey();
        }
        ShutdownLogAndEndProcess(0);
    }
}

// The one trace object, for a non-zero debug mask: never destroyed, the
// process exit ends it.
LogTrace* CreateTrace(const CommandLineOptions& options)
{
    if (options.debugMask == 0) {
        return nullptr;
    }
    LogTrace* trace = new LogTrace;
    trace->SetConsole(!options.noConsole);
    return trace;
}

// Pauses between attempts to reach the system database at start.
constexpr int FirstConnectPauseSeconds = 1;
constexpr int LastConnectPauseSeconds = 15;

// The system database at start. A vessel powers up in any order, and the
// database server may come up after the workstation: the connection is tried
// again and again, with pauses from 1 s growing to 15 s, until the database
// answers, so logging begins within seconds of it. Each failure is reported
// to the process log, the trace and the service manager's status line, and
// the service manager's start time-out is extended meanwhile. A stop ends the
// process at once. A database that answers but lacks what the objects prepare
// (a table, say) is no reason to wait: the machines report their own failures.
void ConnectSystemDatabase(CDBoperations& database, LogTrace* trace)
{
    int pauseSeconds = FirstConnectPauseSeconds;
    for (int attempt = 1;
         database.connect(SystemDataSource, SystemDatabaseUser, SystemDatabasePassword, nullptr) != 0 &&
         !database.isConnected();
         ++attempt) {
        const std::string text = std::string("Waiting for the system database ") + SystemDataSource + ": attempt " +
                                 std::to_string(attempt) + " failed; next in " + std::to_string(pauseSeconds) + " s";
        LOG4CPLUS_WARN(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
        if (trace != nullptr) {
            trace->AppendText(("\n" + text + "\n").c_str());
        }
        sd_notifyf(0, "STATUS=%s\nEXTEND_TIMEOUT_USEC=%llu", text.c_str(),
                   static_cast<unsigned long long>(pauseSeconds + 30) * 1000000ULL);
        ACE_Time_Value until = ACE_OS::gettimeofday() + ACE_Time_Value(pauseSeconds);
        if (g_terminationSemaphore.acquire(until) == 0) {
            EndBeforeSupervisor();  // only a stop releases it now
        }
        pauseSeconds = std::min(2 * pauseSeconds, LastConnectPauseSeconds);
    }
    sd_notify(0, "STATUS=");
}

// The database's version and the command line on the trace.
void TraceDatabaseAndCommandLine(CDBoperations& database, LogTrace* trace, const std::string& commandLine)
{
    int version = 0;
    char* versionName = nullptr;
    database.getVersion(&version, &versionName);
    if (trace != nullptr) {
        trace->Append("DATABASE INFO: ver. %i, proc. %s\n", version, versionName != nullptr ? versionName : "");
        trace->Append("argv = [%s]\n", commandLine.c_str());
    }
    delete[] versionName;
}

// Waits for the first release; a console signal that interrupts the wait is no release.
void WaitForTermination()
{
    while (g_terminationSemaphore.acquire() != 0 && errno == EINTR) {
    }
}

// The regular end once the termination semaphore was released: the logging
// resume marked, "Terminated!", the supervisor's last lines, the log closed.
[[noreturn]] void EndAfterTermination(COrvantaControl* supervisor)
{
    ClaimProcessEnd();
    LoggingResume().RegularEnd();
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_TEXT("Terminated!"));
    WithdrawSupervisor();
    // The supervisor's last lines still reach the logs; then they are closed.
    delete supervisor;
    ShutdownLogAndEndProcess(0);
}

}  // namespace

void RunProcess(const CommandLineOptions& options, LogTrace* trace, const std::string& commandLine)
{
    // The process-wide database object and message store: never destroyed, the
    // process ends without running destructors.
    static CDBoperations* const database = new CDBoperations("ORVANTA");
    static CMessages* const messages = new CMessages();
    messages->setDatabase(database);
    ReportMessagesToProcessLog(*messages);
    LoggingResume().Open(platform::DriveRoot(), options.processName);
    ConnectSystemDatabase(*database, trace);
    messages->loadMessageTypes();
    TraceDatabaseAndCommandLine(*database, trace, commandLine);

    auto* supervisor = new COrvantaControl(options.processName.c_str(), trace, options.debugMask,
                                           ProcessServices { *database, *messages, TokenStore() });
    PublishSupervisor(supervisor);  // a stop asked for meanwhile ends the process here
    supervisor->Start(0);
    // Status line, status socket and metrics file, until the end begins.
    auto* status = new StatusPublisher(trace);
    status->Start();

    WaitForTermination();
    status->Stop();
    EndAfterTermination(supervisor);
}

int ace_main_i(int argc, char* argv[])
{
    // Asking for help starts nothing: no process log, no database.
    if (AsksForHelp(argc, argv)) {
        WriteHelp(std::cout);
        EndProcess(0);
    }
    ConfigureProcessLog();
    InstallConsoleHandlers();
    const std::string commandLine = CommandLineText(argc, argv);
    const CommandLineOptions options = EvaluateOptions(argc, argv, std::cerr);
    EndUnlessToRun(options);
    RunProcess(options, CreateTrace(options), commandLine);
}
