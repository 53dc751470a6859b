// Console signals (SIGINT, SIGTERM and the like). The handler installed with
// ACE_Sig_Action only writes the signal number into a pipe, which is
// async-signal-safe; a thread of this unit reads it and calls the function the
// process registered, where output, allocation and locks are safe. Install from
// any thread; the registered functions run in that one thread, one at a time.
#pragma once

namespace platform {

using ConsoleHandler = void (*)(int signalNumber);

// Makes `handler` run for every delivery of `signalNumber` (it stays installed
// after it has run; installing again replaces the function). Returns false when
// the pipe, the thread or the signal action cannot be set up.
bool InstallConsoleHandler(int signalNumber, ConsoleHandler handler);

}  // namespace platform
