// A stop from outside the process (SIGINT, SIGTERM): the console handlers hand
// it to the supervisor, or to the run sequence while there is no supervisor yet,
// and a deadline ends the process should the supervisor not finish in time.
// The handlers run in the console-signal thread; the rest is called by the run
// sequence in the main thread.
#pragma once

#include <atomic>

class CFsmBase;

// The supervisor state machine: null until the run sequence has created it.
// The console handlers read it.
extern std::atomic<CFsmBase*> g_supervisor;

// Installs InterruptHandler for SIGINT and TerminationHandler for SIGTERM; a
// failure is written to standard error and the process goes on without them.
void InstallConsoleHandlers();

// Console handlers for SIGINT and SIGTERM: the message on standard output, then,
// once the supervisor exists, the terminate sentence as signal ZELIX_24 at the
// back of its external queue.
void InterruptHandler(int signalNumber);
void TerminationHandler(int signalNumber);

// Makes `supervisor` the one the console handlers ask. A stop asked for while
// the supervisor did not exist yet ends the process here instead.
void PublishSupervisor(CFsmBase* supervisor);

// From here on the console handlers find no supervisor to ask.
void WithdrawSupervisor();

// The main thread takes the end of the process over once the termination
// semaphore is released. When the stop deadline is already ending the process,
// it waits for that and never returns.
void ClaimProcessEnd();

// The end of a process stopped before its supervisor ran: regular end for the
// logging resume, "Terminated!", log shut down, exit code 0.
[[noreturn]] void EndBeforeSupervisor();
