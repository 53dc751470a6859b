#include "QHVLogger/ConsoleStop.h"

#include "QHVLogger/LoggingResume.h"
#include "QHVLogger/ProcessWide.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "fsm/SignalNames.h"
#include "net/ControlSentence.h"
#include "platform/ConsoleSignals.h"

#include <log4cplus/loggingmacros.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

std::atomic<CFsmBase*> g_supervisor { nullptr };

namespace {

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

}  // namespace

void InstallConsoleHandlers()
{
    if (!platform::InstallConsoleHandler(SIGINT, &InterruptHandler) ||
        !platform::InstallConsoleHandler(SIGTERM, &TerminationHandler)) {
        std::cerr << "QHV: console handlers could not be installed: " << std::strerror(errno) << std::endl;
    }
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

void PublishSupervisor(CFsmBase* supervisor)
{
    std::unique_lock<std::mutex> lock(g_supervisorMutex);
    if (g_stopBeforeSupervisor) {
        lock.unlock();
        EndBeforeSupervisor();
    }
    g_supervisor = supervisor;
}

void WithdrawSupervisor()
{
    std::lock_guard<std::mutex> lock(g_supervisorMutex);
    g_supervisor = nullptr;
}

void ClaimProcessEnd()
{
    if (g_ending.exchange(true)) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));  // the stop deadline ends the process
        }
    }
}

void EndBeforeSupervisor()
{
    g_ending = true;
    LoggingResume().RegularEnd();
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_TEXT("Terminated!"));
    ShutdownLogAndEndProcess(0);
}
