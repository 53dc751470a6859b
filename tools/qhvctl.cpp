// qhvctl, the operator's remote for trying QHVLogger: sends one control sentence
// "$ZELIX,<n>,..." over UDP and exits, listens for the status sentences the
// loggers report and prints them, asks the process for its status over its
// local status socket, or prints the latest operator messages from the system
// database. One thread: listening runs in io.run().
#include "QhvctlMessages.h"
#include "ToolSupport.h"

#include "net/ControlSentence.h"
#include "net/SendSentence.h"
#include "net/SocketTable.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <set>
#include <string>

namespace {

using boost::asio::ip::udp;

const char Usage[] = R"(Usage: qhvctl COMMAND [options]

Sends one control sentence to QHVLogger over UDP and exits, prints the
status sentences the loggers report, or shows the state of the process.

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
  status [--json] [--socket PATH]
                      asks the running process over its local status socket
                      (default $QHV_STATUS_SOCKET, else
                      /run/qhvlogger/status.sock) and prints, per logger, its
                      state, port, current file and size, records and bytes
                      written, datagrams dropped and why, the last datagram's
                      age and the last error, and the database state; --json
                      prints the same as one JSON object
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
  qhvctl status --json
  qhvctl messages --since 2h

Exit code 0 when sent, or when listening ends (Ctrl-C, SIGTERM, --seconds);
1 when the sentence cannot be sent or the status port cannot be bound; 2 for a
bad command line.
status: 0 when all that is switched on is flowing (or all is off); 1 when a
logger that is on is stalled or without its port, a logger cannot read its
parameters, or the database does not answer while a logger is on; 2 when the
process cannot be reached (or for a bad command line).
messages ends with 0 when the messages were printed (none found included), 1
when the system database cannot be reached or read, 2 for a bad command line.
)";

enum class Command { HeaveStart, HeaveStop, P2XStart, P2XStop, Terminate, Send, Listen, Status };

struct CommandWord {
    const char* word;
    Command command;
    std::set<std::string> options;  // the options that go with it
};

const std::set<std::string> SendOptions = { "--host", "--port" };
const std::set<std::string> StartOptions = { "--host", "--port", "--dir", "--file", "--interval", "--source-port" };
const std::set<std::string> ListenOptions = { "--status-port", "--seconds" };
const std::set<std::string> StatusOptions = { "--json", "--socket" };

const CommandWord CommandWords[] = {
    { "heave-start", Command::HeaveStart, StartOptions },
    { "heave-stop", Command::HeaveStop, SendOptions },
    { "p2x-start", Command::P2XStart, StartOptions },
    { "p2x-stop", Command::P2XStop, SendOptions },
    { "terminate", Command::Terminate, SendOptions },
    { "send", Command::Send, SendOptions },
    { "listen", Command::Listen, ListenOptions },
    { "status", Command::Status, StatusOptions },
};

// Where the process answers status requests unless told otherwise: the
// service's runtime folder.
constexpr char DefaultStatusSocket[] = "/run/qhvlogger/status.sock";

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
    bool json = false;
    std::string statusSocket;
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
        } else if (name == "--json") {
            tools::ArgumentCursor::NoValue(argument);
            options.json = true;
        } else if (name == "--socket") {
            options.statusSocket = arguments.ValueOf(argument);
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
    case Command::Status:
        break;
    }
    throw std::logic_error("listen and status send no sentence");
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

// Asks the process for its status over its status socket and prints the
// answer. The process puts its verdict on the first line ("verdict N"), which
// becomes the exit code; a process that cannot be reached gives 2.
int QueryStatus(const CtlOptions& options)
{
    std::string path = options.statusSocket;
    if (path.empty()) {
        const char* fromEnvironment = std::getenv("QHV_STATUS_SOCKET");
        path = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : DefaultStatusSocket;
    }
    sockaddr_un address {};
    if (path.size() >= sizeof address.sun_path) {
        throw tools::UsageError("--socket: " + tools::Quoted(path) + " is too long for a socket path");
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval bound { 5, 0 };  // a process that hangs is as good as unreachable
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "qhvctl: cannot reach QHVLogger at " << path << ": " << std::strerror(errno) << std::endl;
        if (fd >= 0) {
            ::close(fd);
        }
        return 2;
    }
    const std::string request = options.json ? "status json\n" : "status\n";
    std::string answer;
    bool failed = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size());
    constexpr std::size_t AnswerLimit = 1 << 20;
    while (!failed && answer.size() < AnswerLimit) {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0) {
            break;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        failed = got < 0;
        if (!failed) {
            answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    const int error = errno;
    ::close(fd);
    const std::string verdictWord = "verdict ";
    const std::size_t lineEnd = answer.find('\n');
    if (failed || lineEnd == std::string::npos || answer.compare(0, verdictWord.size(), verdictWord) != 0) {
        std::cerr << "qhvctl: no status from QHVLogger at " << path << ": "
                  << (failed ? std::strerror(error) : tools::Shown(answer.substr(0, 200))) << std::endl;
        return 2;
    }
    const std::string verdict = answer.substr(verdictWord.size(), lineEnd - verdictWord.size());
    std::cout << answer.substr(lineEnd + 1) << std::flush;
    return verdict == "0" ? 0 : 1;
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
        if (options->command->command == Command::Status) {
            return QueryStatus(*options);
        }
        if (options->command->command != Command::Listen) {
            return SendOne(*options);
        }
        boost::asio::io_context io;
        CStatusListener listener(io, options->statusPort);
        return listener.Run(options->seconds);
    });
}
