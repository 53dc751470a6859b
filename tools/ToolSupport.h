// What the tools qhvsim and qhvctl share: reading the command line ("--name value"
// or "--name=value", values checked as they are read), showing texts on one line,
// and the run wrapper that turns a usage error into exit code 2. Main thread only.
#pragma once

#include <boost/asio/ip/address_v4.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// A command line the tool cannot run with; the text is one line for the user.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A text on one line: printable ASCII as it is, line ends, tabs and other bytes
// as escapes (\n, \r, \t, \xHH).
inline std::string Shown(std::string_view text)
{
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

inline std::string Quoted(std::string_view text) { return "\"" + Shown(text) + "\""; }

// One argument: an option ("--count", with what followed "=" kept aside) or a word.
struct Argument {
    std::string text;
    std::optional<std::string> value;
    bool isOption = false;
};

// Walks over argv[1..]. A word that starts with '-' is an option; after "--"
// every word is a plain word.
class ArgumentCursor {
public:
    ArgumentCursor(int argc, char* argv[])
    {
        for (int i = 1; i < argc; ++i) {
            if (argv[i] != nullptr) {
                m_words.emplace_back(argv[i]);
            }
        }
    }

    // Whether "--help" or "-h" stands among the options, wherever it is.
    bool AsksForHelp() const
    {
        for (const std::string& word : m_words) {
            if (word == "--") {
                return false;
            }
            if (word == "--help" || word == "-h") {
                return true;
            }
        }
        return false;
    }

    bool Done()
    {
        if (!m_optionsEnded && m_next < m_words.size() && m_words[m_next] == "--") {
            m_optionsEnded = true;
            ++m_next;
        }
        return m_next >= m_words.size();
    }

    // The next argument; call only while !Done().
    Argument Next()
    {
        Argument argument;
        argument.text = m_words.at(m_next++);
        argument.isOption = !m_optionsEnded && argument.text.size() > 1 && argument.text[0] == '-';
        const std::size_t equals = argument.text.find('=');
        if (argument.isOption && argument.text.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            argument.value = argument.text.substr(equals + 1);
            argument.text.erase(equals);
        }
        return argument;
    }

    // The value of `option`: its "=value", else the next word. A next word that
    // is itself a "--" option means the value was left out.
    std::string ValueOf(const Argument& option)
    {
        if (option.value) {
            return *option.value;
        }
        if (m_next >= m_words.size() || m_words[m_next].compare(0, 2, "--") == 0) {
            throw UsageError(option.text + " needs a value");
        }
        return m_words[m_next++];
    }

    // For an option that takes no value: "--with-52=yes" is refused.
    static void NoValue(const Argument& option)
    {
        if (option.value) {
            throw UsageError(option.text + " takes no value");
        }
    }

private:
    std::vector<std::string> m_words;
    std::size_t m_next = 0;
    bool m_optionsEnded = false;
};

// A whole number from `min` to `max`, written with decimal digits only.
inline std::uint64_t WholeNumber(const std::string& option, const std::string& text, std::uint64_t min,
                                 std::uint64_t max)
{
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        errno = 0;
        const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
        if (errno == 0 && value >= min && value <= max) {
            return value;
        }
    }
    throw UsageError(option + ": " + Quoted(text) + " is not a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max));
}

// A number such as "20", "0.5" or "2.", from `min` to `max`. Digits and one
// point only: strtod alone would also take signs, "inf", "nan", hex and exponents.
inline double DecimalNumber(const std::string& option, const std::string& text, double min, double max)
{
    const bool digitsAndOnePoint = text.find_first_not_of("0123456789.") == std::string::npos &&
                                   text.find_first_of("0123456789") != std::string::npos &&
                                   text.find('.') == text.rfind('.');
    if (digitsAndOnePoint) {
        const double value = std::strtod(text.c_str(), nullptr);
        if (value >= min && value <= max) {
            return value;
        }
    }
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", min, max);
    throw UsageError(option + ": " + Quoted(text) + " is not a number from " + range);
}

inline std::uint16_t PortNumber(const std::string& option, const std::string& text)
{
    return static_cast<std::uint16_t>(WholeNumber(option, text, 1, 65535));
}

// A numeric IPv4 address: the tools do no name lookup.
inline std::string NumericHost(const std::string& option, const std::string& text)
{
    boost::system::error_code error;
    boost::asio::ip::make_address_v4(text, error);
    if (error) {
        throw UsageError(option + ": " + Quoted(text) + " is not a numeric IPv4 address such as 127.0.0.1");
    }
    return text;
}

// Runs a tool's body: a usage error prints its line and the hint to --help and
// gives exit code 2; any other failure prints its line and gives 1.
template <typename Body>
int RunTool(const char* name, Body&& body)
{
    try {
        return body();
    } catch (const UsageError& error) {
        std::cerr << name << ": " << error.what() << "\nTry '" << name << " --help'.\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << name << ": " << error.what() << "\n";
        return 1;
    } catch (...) {
        std::cerr << name << ": unexpected failure\n";
        return 1;
    }
}

}  // namespace tools
