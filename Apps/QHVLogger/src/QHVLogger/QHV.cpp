#include "QHVLogger/QHV.h"

#include "LogTrace/LogTrace.h"
#include "QHVLogger/LoggingResume.h"
#include "QHVLogger/OrvantaControl.h"
#include "QHVLogger/StatusPublisher.h"
#include "db/DBoperations.h"
#include "db/Messages.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "fsm/SignalNames.h"
#include "net/ControlSentence.h"
#include "net/UdpReceiver.h"
#include "platform/ConfigDirectory.h"
#include "platform/ConsoleSignals.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "tokens/TokenStore.h"

#include <ace/OS_NS_sys_time.h>
#include <boost/system/system_error.hpp>
#include <log4cplus/configurator.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/loggingmacros.h>
#include <systemd/sd-daemon.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <mutex>
#include <thread>

ACE_Semaphore g_terminationSemaphore(0, USYNC_THREAD, nullptr, nullptr, 2147483647);
std::atomic<CFsmBase*> g_supervisor { nullptr };

namespace {

constexpr char DefaultProcessName[] = "ORVANTA_CTRL";
constexpr char DefaultLogFile[] = "C:/temp/Orvanta.txt";
constexpr char PropertyFile[] = "log4cplus_configureQHV.ini";
constexpr char DashLine[] = "------------------------------------------------------------";

// atoi as the C library defines it for values in range, without its undefined
// behaviour for values out of range.
long DecimalValue(const char* text)
{
    return std::strtol(text, nullptr, 10);
}

// Held while a console handler hands the supervisor its signal, so the main
// thread cannot destroy the supervisor meanwhile; also guards the stop asked
// for before the supervisor existed.
std::mutex g_supervisorMutex;
bool g_stopBeforeSupervisor = false;
// Set by whichever thread ends the process after a stop: the main thread once
// it wakes, or the stop deadline.
std::atomic<bool> g_ending { false };

// A stop must end the process even when a job blocks the supervisor (a
// database that accepts connections and never answers, say): this long after
// the console signal the process ends without it, well within the service
// manager's stop time-out (TimeoutStopSec=30s).
constexpr auto StopDeadline = std::chrono::seconds(20);

void EndAtStopDeadline()
{
    std::this_thread::sleep_for(StopDeadline);
    if (g_ending.exchange(true)) {
        return;  // the orderly end is under way
    }
    // Other threads may still be inside jobs and log: the log is not shut
    // down, its lines are flushed one by one already.
    LoggingResume().RegularEnd();
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_TEXT("Stop not completed within 20 s; ending now."));
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_TEXT("Terminated!"));
    EndProcess(0);
}

void AskSupervisorToTerminate()
{
    static std::once_flag deadline;
    std::call_once(deadline, [] { std::thread(&EndAtStopDeadline).detach(); });

    std::lock_guard<std::mutex> lock(g_supervisorMutex);
    CFsmBase* supervisor = g_supervisor.load();
    if (supervisor == nullptr) {
        // Start-up is still under way (waiting for the database, say): the run
        // sequence ends the process at its next step.
        g_stopBeforeSupervisor = true;
        g_terminationSemaphore.release();
        return;
    }
    const std::string sentence = TerminateSentence();
    const auto length = static_cast<std::int32_t>(sentence.size());
    CTRXSignal* signal = new CTRXSignal(ZELIX_24, nullptr, CopyPayload(sentence.data(), length), length);
    supervisor->PutExternal(&signal, true);  // the supervisor's queue owns it now
}

// The end of a process stopped before its supervisor ran.
[[noreturn]] void EndBeforeSupervisor()
{
    g_ending = true;
    LoggingResume().RegularEnd();
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_TEXT("Terminated!"));
    ShutdownLogAndEndProcess(0);
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

void InstallConsoleHandlers()
{
    if (!platform::InstallConsoleHandler(SIGINT, &InterruptHandler) ||
        !platform::InstallConsoleHandler(SIGTERM, &TerminationHandler)) {
        std::cerr << "QHV: console handlers could not be installed: " << std::strerror(errno) << std::endl;
    }
}

void WaitForKey()
{
    std::cin.get();
}

// Waits for the first release; a console signal that interrupts the wait is no release.
void WaitForTermination()
{
    while (g_terminationSemaphore.acquire() != 0 && errno == EINTR) {
    }
}

}  // namespace

log4cplus::Logger ProcessLogger()
{
    return log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("QHVLOGGER"));
}

int ReadArg(int argc, char* argv[], const char* format, ...)
{
    const char* dash = format != nullptr ? std::strchr(format, '-') : nullptr;
    if (dash == nullptr) {
        std::cerr << std::endl << "\nReadArg: Missing '-' in call argument." << std::endl;
        return 0;
    }
    const std::string keyword(dash, std::strcspn(dash, " "));

    int found = 0;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (keyword == argv[i]) {
            found = i;
            break;
        }
    }
    if (found == 0) {
        return 1;
    }

    // Every conversion takes the next argument; an option whose values run past
    // the end of the command line counts as absent.
    int conversions = 0;
    for (const char* p = format; (p = std::strchr(p, '%')) != nullptr; p += (p[1] != '\0') ? 2 : 1) {
        ++conversions;
    }
    if (conversions > argc - 1 - found) {
        return 1;
    }

    va_list destinations;
    va_start(destinations, format);
    int next = found;
    for (const char* p = format; (p = std::strchr(p, '%')) != nullptr; p += 2) {
        const char* value = argv[++next];
        switch (p[1]) {
        case 'c':
            *va_arg(destinations, std::uint8_t*) = static_cast<std::uint8_t>(DecimalValue(value));
            break;
        case 'd':
            *va_arg(destinations, double*) = std::strtod(value, nullptr);
            break;
        case 'i':
        case 'l':
            *va_arg(destinations, std::int32_t*) = static_cast<std::int32_t>(DecimalValue(value));
            break;
        case 's':
            *va_arg(destinations, char**) = argv[next];
            break;
        case 'x':
            *va_arg(destinations, std::int32_t*) = static_cast<std::int32_t>(std::strtol(value, nullptr, 16));
            break;
        default:
            va_end(destinations);
            std::cerr << std::endl << "\nReadArg: Faulty unnamed argument type" << std::endl;
            return 0;
        }
    }
    va_end(destinations);
    return 2;
}

void WriteDebugUsage(std::ostream& out)
{
    out << "\nUsage for debug:"
        << "\n\t[-name \"QHV process name\" Name of the QHV process]"
        << "\n\t[-debug arg               Arg sum of selected elem:"
        << "\n\t                          1=Trans, 2=Sig, 4=Job, 8=Data, 16=Timers, 31=All]"
        << "\n\t[-logfile \"file name\"     Use to log to file]"
        << "\n\t[-noconsole               Use to turn off logging to console]" << std::endl
        << std::endl
        << "Please press a key to close down program." << std::endl;
}

void WriteUsage(std::ostream& out)
{
    out << "\nUsage:"
        << "\n\t[-name \"QHV process name\" Name of the QHV process]"
        << "\n\t[-debug arg               Arg is sum of selected choices:"
        << "\n\t                          1=Trans, 2=Sig, 4=Job, 8=Data, 16=Timers, 31=All]"
        << "\n\t[-logfile \"file name\"     Use to log to file]"
        << "\n\t[-noconsole               Use to turn off logging to console]" << std::endl;
}

void WriteOptionSummary(std::ostream& out, const CommandLineOptions& options)
{
    out << std::endl
        << DashLine << std::endl
        << "- Command Line Options (default values if not set)" << std::endl
        << DashLine << std::endl
        << "- Process Name              : " << options.processName << std::endl
        << "- Debug                     : 0x" << std::hex << static_cast<unsigned>(options.debugMask) << std::dec
        << std::endl
        << "- Log file                  : " << options.logFile << std::endl
        << "- noconsole                 : " << (options.noConsole ? "1" : "0") << std::endl
        << DashLine << std::endl;
}

CommandLineOptions EvaluateOptions(int argc, char* argv[], std::ostream& out)
{
    CommandLineOptions options;

    char* name = nullptr;
    const int nameResult = ReadArg(argc, argv, "-name %s", &name);
    out << std::endl;
    if (nameResult == 0) {
        out << "         Error in argument: -name failed.  " << std::endl;
        options.errorCount = 1;
    }
    options.processName = name != nullptr ? name : DefaultProcessName;

    std::uint8_t mask = 0;
    switch (ReadArg(argc, argv, "-debug %c", &mask)) {
    case 0:
        out << "         Error in argument: -debug option failed.  " << std::endl;
        ++options.errorCount;
        break;
    case 2:
        options.debugMask = mask;
        break;
    default:
        options.debugMask = 0;
        break;
    }

    char* logFile = nullptr;
    if (ReadArg(argc, argv, "-logfile %s", &logFile) == 0) {
        out << "         Error in argument: -logfile option failed.  " << std::endl;
        ++options.errorCount;
    } else if (logFile != nullptr) {
        options.logFile = logFile;
    } else {
        const char* fromEnvironment = std::getenv("QHV_LOGNAME");
        options.logFile = fromEnvironment != nullptr ? fromEnvironment : DefaultLogFile;
    }

    switch (ReadArg(argc, argv, "-noconsole")) {
    case 0:
        out << "         Error in argument: -noconsole option failed." << std::endl;
        ++options.errorCount;
        break;
    case 2:
        options.noConsole = true;
        break;
    default:
        options.noConsole = false;
        break;
    }

    switch (ReadArg(argc, argv, "-help")) {
    case 0:
        out << "         Error in argument: -help option failed." << std::endl;
        ++options.errorCount;
        break;
    case 2:
        WriteDebugUsage(out);
        options.next = CommandLineOptions::Next::WaitKeyThenEnd;
        return options;
    default:
        break;
    }

    if (options.errorCount != 0) {
        WriteUsage(out);
        if (options.debugMask != 0) {
            out << std::endl << std::endl << "Please press a key to close down program." << std::endl;
            options.next = CommandLineOptions::Next::WaitKeyThenEnd;
        } else {
            options.next = CommandLineOptions::Next::End;
        }
        return options;
    }

    WriteOptionSummary(out, options);
    return options;
}

std::string CommandLineText(int argc, char* argv[])
{
    std::string text;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        text += argv[i];
        text += ' ';
    }
    return text;
}

void ConfigureProcessLog()
{
    log4cplus::initialize();
    const std::string inConfigDirectory = ConfigDirectory() + "/" + PropertyFile;
    const std::string file = platform::FileExists(inConfigDirectory) ? platform::NativePath(inConfigDirectory)
                                                                     : std::string(PropertyFile);
    log4cplus::PropertyConfigurator::doConfigure(LOG4CPLUS_STRING_TO_TSTRING(file),
                                                 log4cplus::Logger::getDefaultHierarchy(), 0);
    const log4cplus::Logger logger = ProcessLogger();
    LOG4CPLUS_INFO(logger, LOG4CPLUS_TEXT("\n\n\n"));
    LOG4CPLUS_INFO(logger, LOG4CPLUS_TEXT("QHV Logger starts"));
}

void InterruptHandler(int)
{
    std::cout << "\nQHV: Cleaning up after ctrl-C\n" << std::flush;
    AskSupervisorToTerminate();
}

void TerminationHandler(int)
{
    std::cout << "\nQHV: Cleaning up after termination by OP system.\n" << std::flush;
    AskSupervisorToTerminate();
}

platform::PortClaim OpenControlPortOrEnd(UdpReceiver& receiver, std::uint16_t port, LogTrace* trace)
{
    // Port 0 is a port of the system's choice, which no other process has.
    platform::PortClaim claim = port != 0 ? platform::PortClaim(port) : platform::PortClaim();
    std::string reason;
    if (port != 0 && !claim.Held()) {
        reason = claim.Error() == EADDRINUSE ? "another QHVLogger process listens on it"
                                             : "cannot claim it: " + std::string(std::strerror(claim.Error()));
    } else {
        try {
            receiver.openOnPort(port);
            return claim;
        } catch (const std::exception& e) {
            reason = e.what();
        }
    }
    const std::string text = "QHV: cannot open control port " + std::to_string(port) + ": " + reason;
    std::cerr << text << std::endl;
    LOG4CPLUS_ERROR(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
    if (trace != nullptr) {
        trace->AppendText(("\n\tERROR: " + text).c_str());
    }
    ShutdownLogAndEndProcess(-1);
}

void ShutdownLogAndEndProcess(int exitCode)
{
    log4cplus::deinitialize();
    EndProcess(exitCode);
}

void EndProcess(int exitCode)
{
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(nullptr);
    ::_exit(exitCode);
}

void RunProcess(const CommandLineOptions& options, LogTrace* trace, const std::string& commandLine)
{
    // The process-wide database object and message store: never destroyed, the
    // process ends without running destructors.
    static CDBoperations* const database = new CDBoperations("ORVANTA");
    static CMessages* const messages = new CMessages();
    messages->setDatabase(database);
    LoggingResume().Open(platform::DriveRoot(), options.processName);
    ConnectSystemDatabase(*database, trace);
    messages->loadMessageTypes();
    int version = 0;
    char* versionName = nullptr;
    database->getVersion(&version, &versionName);
    if (trace != nullptr) {
        trace->Append("DATABASE INFO: ver. %i, proc. %s\n", version, versionName != nullptr ? versionName : "");
        trace->Append("argv = [%s]\n", commandLine.c_str());
    }
    delete[] versionName;

    auto* supervisor = new COrvantaControl(options.processName.c_str(), trace, options.debugMask,
                                           ProcessServices { *database, *messages, TokenStore() });
    {
        std::unique_lock<std::mutex> lock(g_supervisorMutex);
        if (g_stopBeforeSupervisor) {
            lock.unlock();
            EndBeforeSupervisor();
        }
        g_supervisor = supervisor;
    }
    supervisor->Start(0);
    // Status line, status socket and metrics file, until the end begins.
    auto* status = new StatusPublisher(trace);
    status->Start();

    WaitForTermination();
    status->Stop();

    if (g_ending.exchange(true)) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));  // the stop deadline ends the process
        }
    }
    LoggingResume().RegularEnd();
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_TEXT("Terminated!"));
    {
        // From here on the console handlers find no supervisor to ask.
        std::lock_guard<std::mutex> lock(g_supervisorMutex);
        g_supervisor = nullptr;
    }
    // The supervisor's last lines still reach the logs; then they are closed.
    delete supervisor;
    ShutdownLogAndEndProcess(0);
}

int ace_main_i(int argc, char* argv[])
{
    ConfigureProcessLog();
    InstallConsoleHandlers();
    const std::string commandLine = CommandLineText(argc, argv);

    const CommandLineOptions options = EvaluateOptions(argc, argv, std::cerr);
    if (options.next != CommandLineOptions::Next::Run) {
        if (options.next == CommandLineOptions::Next::WaitKeyThenEnd) {
            WaitForKey();
        }
        ShutdownLogAndEndProcess(0);
    }

    // The one trace object: never destroyed, the process exit ends it.
    LogTrace* trace = nullptr;
    if (options.debugMask != 0) {
        trace = new LogTrace;
        trace->SetConsole(!options.noConsole);
    }

    RunProcess(options, trace, commandLine);
}
