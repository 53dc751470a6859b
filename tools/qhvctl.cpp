// qhvctl, the operator's remote for trying QHVLogger: sends one control sentence
// "$ZELIX,<n>,..." over UDP and exits, or listens for the status sentences the
// loggers report and prints them, or prints the latest operator messages from
// the system database. One thread: listening runs in io.run().
#include "QhvctlMessages.h"
#include "ToolSupport.h"

#include "net/ControlSentence.h"
#include "net/SendSentence.h"
#include "net/SocketTable.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <set>
#include <string>

namespace {

using boost::asio::ip::udp;

const char Usage[] = R"(Usage: qhvctl COMMAND [options]

Sends one control sentence to QHVLogger over UDP and exits, or prints the
status sentences the loggers report.

Commands:
  heave-start [--dir D] [--file T] [--interval MIN] [--source-port P]
                      sends "$ZELIX,170,D,T,MIN,P": heave logging on. A field
                      left out stays empty, so the logger takes its own setting
  heave-stop          sends "$ZELIX,171,": heave logging off
  p2x-start [--dir D] [--file T] [--interval MIN] [--source-port P]
                      sends "$ZELIX,173,D,T,MIN,P": P2X logging on
  p2x-stop            sends "$ZELIX,174,": P2X logging off
  terminate           sends "$ZELIX,24,": the process ends
  send [--] TEXT      sends TEXT as it stands, with "\n\r" added unless it
                      ends so already ("--" first when TEXT starts with '-')
  listen [--status-port PORT] [--seconds S]
                      prints each status sentence arriving at UDP port PORT
                      (default 4002, any local address) with the local time,
                      until Ctrl-C or S seconds
  messages [--since WHEN] [--limit N] [--utc]
                      prints the latest N (default 20) operator messages the
                      process recorded in the system database (ODBC data source
                      NTRXDB), oldest first: time, number and text in the
                      site's language. WHEN is YYYY-MM-DD[ HH:MM[:SS]] or a span
                      back from now such as 30s, 10m, 2h or 1d. Times in local
                      time, or in UTC with --utc
Every sentence sent ends in "\n\r" (line feed, then carriage return).

Options of the sending commands:
  --host ADDR         numeric IPv4 address of the process (default 127.0.0.1)
  --port PORT         its control port (default 5076)
  --dir D             log directory, e.g. 'c:\survey\heave'
  --file T            file name template, tokens allowed, e.g. 'heave__TOKY_.qhv'
  --interval MIN      minutes per file (whole number)
  --source-port P     UDP port on which the logger receives the sensor's data
A field text holding ',' or a line end is refused: it would break the sentence.

  -h, --help          show this text

Examples:
  qhvctl heave-start --dir 'c:\survey\heave' --interval 60
  qhvctl send '$ZELIX,6,'
  qhvctl listen --seconds 30
  qhvctl messages --since 2h

Exit code 0 when sent, or when listening ends (Ctrl-C, SIGTERM, --seconds);
1 when the sentence cannot be sent or the status port cannot be bound; 2 for a
bad command line.
messages ends with 0 when the messages were printed (none found included), 1
when the system database cannot be reached or read, 2 for a bad command line.
)";

enum class Command { HeaveStart, HeaveStop, P2XStart, P2XStop, Terminate, Send, Listen };

struct CommandWord {
    const char* word;
    Command command;
    std::set<std::string> options;  // the options that go with it
};

const std::set<std::string> SendOptions = { "--host", "--port" };
const std::set<std::string> StartOptions = { "--host", "--port", "--dir", "--file", "--interval", "--source-port" };
const std::set<std::string> ListenOptions = { "--status-port", "--seconds" };

const CommandWord CommandWords[] = {
    { "heave-start", Command::HeaveStart, StartOptions },
    { "heave-stop", Command::HeaveStop, SendOptions },
    { "p2x-start", Command::P2XStart, StartOptions },
    { "p2x-stop", Command::P2XStop, SendOptions },
    { "terminate", Command::Terminate, SendOptions },
    { "send", Command::Send, SendOptions },
    { "listen", Command::Listen, ListenOptions },
};

struct CtlOptions {
    const CommandWord* command = nullptr;
    std::string host = "127.0.0.1";
    std::uint16_t port = portForSocketName("ORVANTA_CTRL");
    std::string directory;
    std::string fileTemplate;
    std::string interval;
    long sourcePort = 0;  // 0: left out
    std::optional<std::string> text;
    std::uint16_t statusPort = OperatorStatusPort;
    std::optional<double> seconds;
};

// A field of a start sentence: a ',' would split it and a line end end the sentence.
std::string FieldText(const std::string& option, const std::string& text)
{
    if (text.find(',') != std::string::npos) {
        throw tools::UsageError(option + ": " + tools::Quoted(text) + " holds a ',', which would split the fields");
    }
    if (text.find_first_of("\r\n") != std::string::npos) {
        throw tools::UsageError(option + ": " + tools::Quoted(text) + " holds a line end, which would end the sentence");
    }
    return text;
}

// Reads the options; nullopt when the help text was asked for (and printed).
std::optional<CtlOptions> ReadOptions(int argc, char* argv[])
{
    tools::ArgumentCursor arguments(argc, argv);
    if (arguments.AsksForHelp()) {
        std::cout << Usage;
        return std::nullopt;
    }
    CtlOptions options;
    std::set<std::string> given;
    while (!arguments.Done()) {
        const tools::Argument argument = arguments.Next();
        const std::string& name = argument.text;
        if (!argument.isOption) {
            if (options.command == nullptr) {
                for (const CommandWord& word : CommandWords) {
                    if (name == word.word) {
                        options.command = &word;
                    }
                }
                if (options.command == nullptr) {
                    throw tools::UsageError("unknown command " + tools::Quoted(name));
                }
            } else if (options.command->command == Command::Send && !options.text) {
                options.text = name;
            } else {
                throw tools::UsageError("unexpected argument " + tools::Quoted(name));
            }
            continue;
        }
        if (name == "--host") {
            options.host = tools::NumericHost(name, arguments.ValueOf(argument));
        } else if (name == "--port") {
            options.port = tools::PortNumber(name, arguments.ValueOf(argument));
        } else if (name == "--dir") {
            options.directory = FieldText(name, arguments.ValueOf(argument));
        } else if (name == "--file") {
            options.fileTemplate = FieldText(name, arguments.ValueOf(argument));
        } else if (name == "--interval") {
            // The logger reads the field as a 32-bit number of minutes.
            options.interval = std::to_string(tools::WholeNumber(name, arguments.ValueOf(argument), 0, INT32_MAX));
        } else if (name == "--source-port") {
            options.sourcePort = tools::PortNumber(name, arguments.ValueOf(argument));
        } else if (name == "--status-port") {
            options.statusPort = tools::PortNumber(name, arguments.ValueOf(argument));
        } else if (name == "--seconds") {
            options.seconds = tools::DecimalNumber(name, arguments.ValueOf(argument), 0, 1e9);
        } else {
            throw tools::UsageError("unknown option " + tools::Quoted(name));
        }
        given.insert(name);
    }

    if (options.command == nullptr) {
        throw tools::UsageError("no command given");
    }
    for (const std::string& name : given) {
        if (options.command->options.count(name) == 0) {
            throw tools::UsageError(name + " does not go with " + options.command->word);
        }
    }
    if (options.command->command == Command::Send && (!options.text || options.text->empty())) {
        throw tools::UsageError("send needs the TEXT to send");
    }
    return options;
}

// The one sentence a sending command stands for.
std::string SentenceOf(const CtlOptions& options)
{
    const std::string talker = ControlTalker;
    switch (options.command->command) {
    case Command::HeaveStart:
        return HeaveStartSentence(options.directory, options.fileTemplate, options.interval, options.sourcePort);
    case Command::P2XStart:
        // P2XStartSentence always writes the port; one left out must stay an empty field.
        if (options.sourcePort > 0) {
            return P2XStartSentence(options.directory, options.fileTemplate, options.interval, options.sourcePort);
        }
        return talker + ",173," + options.directory + "," + options.fileTemplate + "," + options.interval + ",\n\r";
    case Command::HeaveStop:
        return talker + ",171,\n\r";
    case Command::P2XStop:
        return talker + ",174,\n\r";
    case Command::Terminate:
        return TerminateSentence();
    case Command::Send: {
        const std::string& text = *options.text;
        const bool terminated = text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\r") == 0;
        return terminated ? text : text + "\n\r";
    }
    case Command::Listen:
        break;
    }
    throw std::logic_error("listen sends no sentence");
}

int SendOne(const CtlOptions& options)
{
    const std::string sentence = SentenceOf(options);
    const std::string destination = options.host + ":" + std::to_string(options.port);
    if (!sendSentence(sentence, options.host, options.port)) {
        throw std::runtime_error("could not send " + tools::Quoted(sentence) + " to " + destination);
    }
    std::cout << "qhvctl: sent " << tools::Quoted(sentence) << " to " << destination << std::endl;
    return 0;
}

// "hh:mm:ss.mmm" of the local time now.
std::string LocalTimeNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local {};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(milliseconds));
    return text;
}

// A status sentence on one line: its closing "\n\r" left out, any other line
// end or control byte shown as an escape.
std::string Readable(std::string_view sentence)
{
    if (sentence.size() >= 2 && sentence.substr(sentence.size() - 2) == "\n\r") {
        sentence.remove_suffix(2);
    }
    return tools::Shown(sentence);
}

// Prints every datagram arriving at the status port until a signal or the time
// runs out.
class CStatusListener {
public:
    CStatusListener(boost::asio::io_context& io, std::uint16_t port)
        : m_io(io), m_socket(io, udp::v4()), m_signals(io, SIGINT, SIGTERM), m_timer(io), m_port(port)
    {
        // The any-address, so that senders to 127.0.0.1 and to the host's own addresses reach it.
        boost::system::error_code error;
        m_socket.bind(udp::endpoint(boost::asio::ip::address_v4::any(), port), error);
        if (error) {
            throw std::runtime_error("cannot bind UDP port " + std::to_string(port) + ": " + error.message());
        }
    }

    int Run(std::optional<double> seconds)
    {
        m_signals.async_wait([this](const boost::system::error_code& error, int signalNumber) {
            if (!error) {
                m_ending = signalNumber == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM";
                m_io.stop();
            }
        });
        if (seconds) {
            m_timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(*seconds)));
            m_timer.async_wait([this](const boost::system::error_code& error) {
                if (!error) {
                    m_io.stop();
                }
            });
        }
        Receive();
        std::cerr << "qhvctl: listening for status sentences on UDP port " << m_port << "; Ctrl-C ends" << std::endl;
        m_io.run();
        std::cerr << "qhvctl: " << m_ending << "; received " << m_received << " status sentence"
                  << (m_received == 1 ? "" : "s") << std::endl;
        return m_failure.empty() ? 0 : 1;
    }

private:
    void Receive()
    {
        m_socket.async_receive_from(boost::asio::buffer(m_buffer), m_sender,
                                    [this](const boost::system::error_code& error, std::size_t length) {
                                        if (error) {
                                            if (error != boost::asio::error::operation_aborted) {
                                                m_failure = error.message();
                                                m_ending = "receiving failed: " + m_failure;
                                                m_io.stop();
                                            }
                                            return;
                                        }
                                        ++m_received;
                                        std::cout << LocalTimeNow() << "  "
                                                  << Readable(std::string_view(m_buffer.data(), length))
                                                  << std::endl;
                                        Receive();
                                    });
    }

    boost::asio::io_context& m_io;
    udp::socket m_socket;
    boost::asio::signal_set m_signals;
    boost::asio::steady_timer m_timer;
    std::uint16_t m_port;
    std::array<char, 65536> m_buffer {};
    udp::endpoint m_sender;
    std::uint64_t m_received = 0;
    std::string m_ending = "done";
    std::string m_failure;
};

}  // namespace

int main(int argc, char* argv[])
{
    return tools::RunTool("qhvctl", [&] {
        if (qhvctl::IsMessagesCommand(argc, argv)) {
            return qhvctl::RunMessages(argc, argv, std::cout);
        }
        const std::optional<CtlOptions> options = ReadOptions(argc, argv);
        if (!options) {
            return 0;
        }
        if (options->command->command != Command::Listen) {
            return SendOne(*options);
        }
        boost::asio::io_context io;
        CStatusListener listener(io, options->statusPort);
        return listener.Run(options->seconds);
    });
}
