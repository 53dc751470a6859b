// The entry of the process and its run sequence, in the main thread: set up the
// log and the console handlers, read the command line, connect the system
// database, run the supervisor until the termination semaphore is released, end.
#pragma once

#include "QHVLogger/CommandLine.h"

#include <string>

class LogTrace;

// The entry: configures, evaluates the command line, creates the trace object
// for a non-zero mask and runs until the termination semaphore is released.
// Every path ends the process; it never returns.
[[noreturn]] int ace_main_i(int argc, char* argv[]);

// The run, once the options are known: start lines, waiting for termination,
// "Terminated!", log4cplus shut down, exit code 0.
[[noreturn]] void RunProcess(const CommandLineOptions& options, LogTrace* trace, const std::string& commandLine);
