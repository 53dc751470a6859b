// The command line: the input split at NUL bytes gives argv[1..] (at most 32
// arguments, each its own exact-size allocation, so a read past one is caught).
// EvaluateOptions must take any command line without an error (its option
// formats are sound) and find -name, -debug, -logfile, -noconsole and -help as
// whole arguments, each with the argument after it; ReadArg must convert the
// values after an option of several conversions, or count the option absent.
#include "FuzzSupport.h"

#include "QHVLogger/CommandLine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MaxArguments = 32;

// argv[index] of the first whole argument equal to `word`, 0 when there is none.
int Find(const std::vector<std::string>& words, const char* word)
{
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == word) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

// The argument after `word`, when both are there.
const std::string* ValueOf(const std::vector<std::string>& words, const char* word)
{
    const int at = Find(words, word);
    return at != 0 && static_cast<std::size_t>(at) + 1 < words.size() ? &words[static_cast<std::size_t>(at) + 1]
                                                                        : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // ReadArg reports a faulty format on standard error: not once per input.
    std::cerr.setstate(std::ios::badbit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> words { "QHVLogger" };
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start < size && words.size() <= MaxArguments;) {
        const std::size_t end = std::min(input.find('\0', start), size);
        words.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    for (const std::string& word : words) {
        storage.push_back(std::make_unique<char[]>(word.size() + 1));
        std::memcpy(storage.back().get(), word.c_str(), word.size() + 1);
        argv.push_back(storage.back().get());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    std::ostringstream out;
    const CommandLineOptions options = EvaluateOptions(argc, argv.data(), out);
    const std::string text = out.str();
    FUZZ_CHECK(options.errorCount == 0 && options.next != CommandLineOptions::Next::End, text);

    const std::string* name = ValueOf(words, "-name");
    FUZZ_CHECK(options.processName == (name != nullptr ? *name : "ORVANTA_CTRL"), options.processName);
    if (Find(words, "-help") != 0) {
        FUZZ_CHECK(options.next == CommandLineOptions::Next::WaitKeyThenEnd &&
                       text.find("Usage for debug:") != std::string::npos,
                   text);
        return 0;
    }
    FUZZ_CHECK(options.next == CommandLineOptions::Next::Run, text);
    const std::string* debug = ValueOf(words, "-debug");
    const auto mask = debug != nullptr ? static_cast<std::uint8_t>(std::strtol(debug->c_str(), nullptr, 10)) : 0;
    FUZZ_CHECK(options.debugMask == mask, "mask " + std::to_string(options.debugMask));
    const std::string* logFile = ValueOf(words, "-logfile");
    FUZZ_CHECK(options.logFile == (logFile != nullptr ? *logFile : "C:/temp/Orvanta.txt"), options.logFile);
    FUZZ_CHECK(options.noConsole == (Find(words, "-noconsole") != 0), text);
    FUZZ_CHECK(text.find("- Process Name              : " + options.processName + "\n") != std::string::npos, text);

    // One option with every kind of conversion.
    std::uint8_t c = 0;
    double d = 0;
    std::int32_t i = 0, l = 0, x = 0;
    char* s = nullptr;
    const int found = Find(words, "-v");
    const bool complete = found != 0 && argc - 1 - found >= 6;
    const int result = ReadArg(argc, argv.data(), "-v %c %d %i %l %x %s", &c, &d, &i, &l, &x, &s);
    FUZZ_CHECK(result == (complete ? 2 : 1), "ReadArg gave " + std::to_string(result));
    if (complete) {
        const auto at = static_cast<std::size_t>(found);
        FUZZ_CHECK(s == argv[at + 6] && i == static_cast<std::int32_t>(std::strtol(argv[at + 3], nullptr, 10)) &&
                       x == static_cast<std::int32_t>(std::strtol(argv[at + 5], nullptr, 16)),
                   "ReadArg converted the wrong arguments");
    } else {
        FUZZ_CHECK(s == nullptr && i == 0 && c == 0, "ReadArg wrote an absent option's destinations");
    }
    // A format that ends in a lone '%' is faulty once its option is found with a value.
    const int lone = ReadArg(argc, argv.data(), "-v %");
    FUZZ_CHECK(lone == (found != 0 && argc - 1 - found >= 1 ? 0 : 1), "lone %: " + std::to_string(lone));
    return 0;
}
