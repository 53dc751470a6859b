// Console signals (SIGINT, SIGTERM): the ACE_Sig_Action handler only writes the
// number into a pipe; a thread of this unit then runs the registered function,
// where output, allocation and locks are safe. Install from any thread.
#pragma once

namespace platform {

using ConsoleHandler = void (*)(int signalNumber);

// Makes `handler` run for every delivery of `signalNumber` (it stays installed
// after it has run; installing again replaces the function). Returns false when
// the pipe, the thread or the signal action cannot be set up.
bool InstallConsoleHandler(int signalNumber, ConsoleHandler handler);

}  // namespace platform
