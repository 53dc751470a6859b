// The command line of the process: the option reader, the options evaluated in
// their fixed order, and the texts that show them (usage and summary). Used by
// the entry in the main thread at start; keeps no state.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

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

// True when "--help" or "-h" is one of the arguments: the process shows
// WriteHelp on standard output and ends with exit code 0 before anything else.
bool AsksForHelp(int argc, char* argv[]);
// The usage and the help options, for "--help" and "-h".
void WriteHelp(std::ostream& out);

// The texts of the command line.
void WriteDebugUsage(std::ostream& out);
void WriteUsage(std::ostream& out);
void WriteOptionSummary(std::ostream& out, const CommandLineOptions& options);

// All arguments, argv[0] included, each followed by one blank.
std::string CommandLineText(int argc, char* argv[]);
