#include "QHVLogger/CommandLine.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

constexpr char DefaultProcessName[] = "ORVANTA_CTRL";
constexpr char DefaultLogFile[] = "C:/temp/Orvanta.txt";
constexpr char DashLine[] = "------------------------------------------------------------";

// atoi as the C library defines it for values in range, without its undefined
// behaviour for values out of range.
long DecimalValue(const char* text)
{
    return std::strtol(text, nullptr, 10);
}

}  // namespace

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

bool AsksForHelp(int argc, char* argv[])
{
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return true;
        }
    }
    return false;
}

void WriteHelp(std::ostream& out)
{
    WriteUsage(out);
    out << "\t[-help                   Show the usage for debug, then wait for a key]"
        << "\n\t[-h, --help              Show this text]" << std::endl;
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
