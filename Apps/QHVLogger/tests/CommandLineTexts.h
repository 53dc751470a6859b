// The command-line texts the process writes, spelt out once for the tests of
// the option evaluation and of the real program.
#pragma once

#include <string>

namespace expected {

const std::string Dashes(60, '-');

inline std::string Summary(const std::string& name, const std::string& mask, const std::string& logFile,
                           bool noConsole)
{
    return "\n" + Dashes + "\n- Command Line Options (default values if not set)\n" + Dashes +
           "\n- Process Name              : " + name + "\n- Debug                     : " + mask +
           "\n- Log file                  : " + logFile + "\n- noconsole                 : " + (noConsole ? "1" : "0") +
           "\n" + Dashes + "\n";
}

const std::string DebugUsageText =
    "\nUsage for debug:"
    "\n\t[-name \"QHV process name\" Name of the QHV process]"
    "\n\t[-debug arg               Arg sum of selected elem:"
    "\n\t                          1=Trans, 2=Sig, 4=Job, 8=Data, 16=Timers, 31=All]"
    "\n\t[-logfile \"file name\"     Use to log to file]"
    "\n\t[-noconsole               Use to turn off logging to console]\n"
    "\n"
    "Please press a key to close down program.\n";

}  // namespace expected
