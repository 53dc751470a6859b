// Runs qhvsim and qhvctl as child processes: the exact bytes they send to a
// socket on an ephemeral port, what qhvctl listen prints, their ends by signal,
// and their exit codes and texts for good and bad command lines.
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testsupport::WaitFor;

const std::string QhvSim = QHVSIM_BINARY;
const std::string QhvCtl = QHVCTL_BINARY;

// A program as a child process, its standard output and error on pipes.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& arguments)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> words { program };
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        const int result = ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
        if (result != 0) {
            throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(result));
        }
    }

    ~Child()
    {
        if (!m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
        ::close(m_err);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Signal(int number) { ::kill(m_pid, number); }

    const std::string& Out()
    {
        Pump();
        return m_outText;
    }
    const std::string& Err()
    {
        Pump();
        return m_errText;
    }

    // The exit code once the child has ended (-1 for an end by a signal);
    // nullopt when it still runs after a generous bound.
    std::optional<int> ExitCode()
    {
        WaitFor([this] {
            Pump();
            int status = 0;
            if (!m_status && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = status;
            }
            return m_status.has_value();
        }, 30s);
        if (!m_status) {
            return std::nullopt;
        }
        return WIFEXITED(*m_status) ? WEXITSTATUS(*m_status) : -1;
    }

private:
    void Pump()
    {
        ReadAvailable(m_out, m_outText);
        ReadAvailable(m_err, m_errText);
    }
    static void ReadAvailable(int fd, std::string& text)
    {
        char buffer[4096];
        ssize_t length = 0;
        while ((length = ::read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(length));
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outText;
    std::string m_errText;
    std::optional<int> m_status;
};

struct Result {
    std::optional<int> exitCode;
    std::string out;
    std::string err;
};

Result RunToEnd(const std::string& program, const std::vector<std::string>& arguments)
{
    Child child(program, arguments);
    Result result;
    result.exitCode = child.ExitCode();
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

// A UDP socket on 127.0.0.1 and an ephemeral port.
class UdpProbe {
public:
    UdpProbe()
    {
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
        }
        m_port = ntohs(address.sin_port);
    }
    ~UdpProbe() { ::close(m_socket); }
    UdpProbe(const UdpProbe&) = delete;
    UdpProbe& operator=(const UdpProbe&) = delete;

    std::string Port() const { return std::to_string(m_port); }

    std::optional<std::string> Receive(std::chrono::milliseconds bound = 10s)
    {
        pollfd entry { m_socket, POLLIN, 0 };
        if (::poll(&entry, 1, static_cast<int>(bound.count())) != 1) {
            return std::nullopt;
        }
        char buffer[65536];
        const ssize_t length = ::recv(m_socket, buffer, sizeof buffer, 0);
        return length < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, std::size_t(length)));
    }

    // Every datagram already sent: the senders have ended, so a short quiet ends it.
    std::vector<std::string> ReceiveAll()
    {
        std::vector<std::string> datagrams;
        while (std::optional<std::string> datagram = Receive(300ms)) {
            datagrams.push_back(*datagram);
        }
        return datagrams;
    }

    void SendTo(const std::string& port, const std::string& text)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
        ASSERT_EQ(::sendto(m_socket, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address),
                           sizeof address),
                  static_cast<ssize_t>(text.size()));
    }

private:
    int m_socket = -1;
    std::uint16_t m_port = 0;
};

std::string FreePort() { return UdpProbe().Port(); }

std::uint32_t BigEndian32(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

// "$...*hh\r\n" where hh, two upper-case hex digits, is the XOR of the bytes between '$' and '*'.
bool ChecksumHolds(const std::string& sentence)
{
    const std::size_t star = sentence.rfind('*');
    if (sentence.empty() || sentence[0] != '$' || star == std::string::npos || sentence.size() != star + 5 ||
        sentence.compare(star + 3, 2, "\r\n") != 0) {
        return false;
    }
    unsigned checksum = 0;
    for (std::size_t i = 1; i < star; ++i) {
        checksum ^= static_cast<unsigned char>(sentence[i]);
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", checksum);
    return sentence.compare(star + 1, 2, digits) == 0;
}

}  // namespace

TEST(QhvCtl, SendsEachCommandAsOneExactSentence)
{
    UdpProbe process;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        { { "heave-start", "--dir", "c:\\survey\\heave", "--file", "heave__TOKY_.qhv", "--interval", "60",
            "--source-port", "5602" },
          "$ZELIX,170,c:\\survey\\heave,heave__TOKY_.qhv,60,5602\n\r" },
        { { "heave-start" }, std::string("$ZELIX,170,,,,\n\r", 16) },
        { { "p2x-start", "--interval=30" }, "$ZELIX,173,,,30,\n\r" },
        { { "p2x-start", "--source-port", "5603", "--dir", "/data/p2x" }, "$ZELIX,173,/data/p2x,,,5603\n\r" },
        { { "heave-stop" }, "$ZELIX,171,\n\r" },
        { { "p2x-stop" }, "$ZELIX,174,\n\r" },
        { { "terminate" }, "$ZELIX,24,\n\r" },
        { { "send", "$ZELIX,6," }, "$ZELIX,6,\n\r" },
        { { "send", "--", "$ZELIX,6,\n\r" }, "$ZELIX,6,\n\r" },
    };
    for (const auto& [arguments, sentence] : cases) {
        std::vector<std::string> line = { "--host", "127.0.0.1", "--port", process.Port() };
        line.insert(line.end(), arguments.begin(), arguments.end());
        const Result result = RunToEnd(QhvCtl, line);
        EXPECT_EQ(result.exitCode, 0) << arguments[0] << "\n" << result.err;
        EXPECT_EQ(process.Receive(), sentence) << arguments[0];
    }
    EXPECT_EQ(process.Receive(300ms), std::nullopt) << "one datagram per command";
}

TEST(QhvCtl, ListensForStatusSentencesUntilTheTimeRunsOutOrASignal)
{
    UdpProbe logger;
    const std::string port = FreePort();
    {
        Child listener(QhvCtl, { "listen", "--status-port", port, "--seconds", "2" });
        ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 30s))
            << listener.Err();
        logger.SendTo(port, "$ZELIX,172,ON\n\r");
        logger.SendTo(port, "$ZELIX,175,OFF\r\n");
        EXPECT_EQ(listener.ExitCode(), 0) << listener.Err();
        const std::regex expected(R"(\d\d:\d\d:\d\d\.\d\d\d  \$ZELIX,172,ON\n)"
                                  R"(\d\d:\d\d:\d\d\.\d\d\d  \$ZELIX,175,OFF\\r\\n\n)");
        EXPECT_TRUE(std::regex_match(listener.Out(), expected)) << listener.Out();
        EXPECT_NE(listener.Err().find("received 2 status sentences"), std::string::npos) << listener.Err();
    }
    {
        Child listener(QhvCtl, { "listen", "--status-port", port });
        ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 30s));
        listener.Signal(SIGTERM);
        EXPECT_EQ(listener.ExitCode(), 0);
        EXPECT_NE(listener.Err().find("stopped by SIGTERM"), std::string::npos) << listener.Err();
    }
    // A port that is taken is a failure to run, not a usage error.
    const Result taken = RunToEnd(QhvCtl, { "listen", "--status-port", logger.Port(), "--seconds", "1" });
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_NE(taken.err.find("cannot bind UDP port " + logger.Port()), std::string::npos) << taken.err;
}

TEST(QhvSim, SendsTheCountedHeaveDatagramsPacedWithEveryTenthFollowedByA52ByteOne)
{
    UdpProbe logger;
    const std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
    const auto started = std::chrono::steady_clock::now();
    const Result result = RunToEnd(QhvSim, { "--heave-port", logger.Port(), "--count", "50", "--heave-rate", "1000",
                                        "--with-52", "--every", "10", "--p2x-rate", "0" });
    const auto took = std::chrono::steady_clock::now() - started;
    const std::uint32_t after = static_cast<std::uint32_t>(std::time(nullptr));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_GE(took, 49ms) << "datagram 50 is due 49 ms after the first";
    EXPECT_NE(result.out.find("sent 50 heave datagrams of 13 bytes, 5 of 52 bytes"), std::string::npos)
        << result.out;

    const std::vector<std::string> datagrams = logger.ReceiveAll();
    ASSERT_EQ(datagrams.size(), 55u);
    std::size_t next = 0;
    for (int n = 1; n <= 50; ++n) {
        const std::string& heave = datagrams[next++];
        ASSERT_EQ(heave.size(), 13u) << "datagram " << n;
        EXPECT_EQ(heave.substr(0, 2), "\xAA" "R");
        const std::uint32_t time = BigEndian32(heave, 2);
        EXPECT_GE(time, before);
        EXPECT_LE(time, after);
        if (n % 10 == 0) {
            const std::string& full = datagrams[next++];
            ASSERT_EQ(full.size(), 52u) << "after datagram " << n;
            EXPECT_EQ(full.substr(0, 2), "\xAA" "S");
            EXPECT_EQ(BigEndian32(full, 2), time);
        }
    }
}

TEST(QhvSim, SentencesCycleWithCorrectChecksumsAndChangeOnlyWhenDue)
{
    UdpProbe logger;
    const Result steady = RunToEnd(QhvSim, { "--heave-rate", "0", "--p2x-port", logger.Port(), "--p2x-rate", "1000",
                                        "--count", "8", "--change-every", "0" });
    ASSERT_EQ(steady.exitCode, 0) << steady.err;
    const std::vector<std::string> sentences = logger.ReceiveAll();
    ASSERT_EQ(sentences.size(), 8u);
    const char* const kinds[] = { "$PQRV,25,1,", "$PQRV,25,2,", "$PQRV,26,1,", "$PQRV,27," };
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        EXPECT_TRUE(ChecksumHolds(sentences[i])) << sentences[i];
        EXPECT_EQ(sentences[i].rfind(kinds[i % 4], 0), 0u) << sentences[i];
        EXPECT_EQ(sentences[i], sentences[i % 4]) << "the content repeats";
    }

    // 40 sentences at 100 per second take 0.39 s at least: the configuration
    // number in type 27 goes up at least three times, nothing else changes.
    const Result changing = RunToEnd(QhvSim, { "--heave-rate", "0", "--p2x-port", logger.Port(), "--p2x-rate", "100",
                                          "--count", "40", "--change-every", "0.1" });
    ASSERT_EQ(changing.exitCode, 0) << changing.err;
    std::set<std::string> distinct[4];
    const std::vector<std::string> cycle = logger.ReceiveAll();
    ASSERT_EQ(cycle.size(), 40u);
    for (std::size_t i = 0; i < cycle.size(); ++i) {
        EXPECT_TRUE(ChecksumHolds(cycle[i])) << cycle[i];
        distinct[i % 4].insert(cycle[i]);
    }
    EXPECT_EQ(distinct[0].size() + distinct[1].size() + distinct[2].size(), 3u);
    EXPECT_GE(distinct[3].size(), 4u);
}

TEST(Tools, EndCleanlyOnInterrupt)
{
    UdpProbe heave;
    UdpProbe sentences;
    Child simulator(QhvSim, { "--heave-port", heave.Port(), "--p2x-port", sentences.Port() });
    ASSERT_TRUE(heave.Receive(30s));
    ASSERT_TRUE(sentences.Receive(30s));
    simulator.Signal(SIGINT);
    EXPECT_EQ(simulator.ExitCode(), 0) << simulator.Err();
    EXPECT_NE(simulator.Out().find("stopped by SIGINT; sent "), std::string::npos) << simulator.Out();

    // With nothing to send it only waits, here for its time to run out.
    const Result idle = RunToEnd(QhvSim, { "--heave-rate", "0", "--p2x-rate", "0", "--seconds", "0.2" });
    EXPECT_EQ(idle.exitCode, 0) << idle.err;
    EXPECT_NE(idle.out.find("done; sent 0 heave"), std::string::npos) << idle.out;
}

TEST(Tools, HelpExitsZeroAndBadCommandLinesExitTwoWithTheReason)
{
    for (const std::string& program : { QhvSim, QhvCtl }) {
        const Result help = RunToEnd(program, { "--help" });
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind("Usage: qhv", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }

    UdpProbe process;
    const std::vector<std::pair<std::vector<std::string>, std::string>> simulatorCases = {
        { { "--heave-rate", "abc" }, "--heave-rate: \"abc\" is not a number" },
        { { "--heave-rate", "-1" }, "--heave-rate" },
        { { "--heave-rate", "inf" }, "--heave-rate" },
        { { "--p2x-rate", "0.0000001" }, "--p2x-rate" },
        { { "--heave-rate", "0", "--p2x-rate", "0", "--count", "5" }, "--count never ends" },
        { { "--count", "0" }, "--count" },
        { { "--count", "99999999999999999999999" }, "--count" },
        { { "--heave-port", "70000" }, "--heave-port" },
        { { "--host", "localhost" }, "--host" },
        { { "--every" }, "--every needs a value" },
        { { "--with-52=yes" }, "--with-52 takes no value" },
        { { "--bogus" }, "unknown option" },
        { { "extra" }, "unexpected argument" },
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> controlCases = {
        { {}, "no command" },
        { { "start" }, "unknown command" },
        { { "heave-start", "--port", process.Port(), "--dir", "a,b" }, "--dir: \"a,b\" holds a ','" },
        { { "p2x-start", "--port", process.Port(), "--file", "x\ny" }, "--file: \"x\\ny\" holds a line end" },
        { { "heave-start", "--port", process.Port(), "--interval", "1h" }, "--interval" },
        { { "heave-stop", "--port", process.Port(), "--dir", "x" }, "--dir does not go with heave-stop" },
        { { "terminate", "--port", "0" }, "--port" },
        { { "terminate", "--port", process.Port(), "now" }, "unexpected argument" },
        { { "send", "--port", process.Port() }, "send needs the TEXT" },
        { { "listen", "--seconds", "soon" }, "--seconds" },
        { { "listen", "--port", "5076" }, "--port does not go with listen" },
    };
    for (const auto& [program, cases] : { std::pair(QhvSim, simulatorCases), std::pair(QhvCtl, controlCases) }) {
        const std::string name = program.substr(program.rfind('/') + 1);
        for (const auto& [arguments, reason] : cases) {
            const Result result = RunToEnd(program, arguments);
            EXPECT_EQ(result.exitCode, 2) << name << " " << ::testing::PrintToString(arguments);
            EXPECT_EQ(result.err.rfind(name + ": ", 0), 0u) << result.err;
            EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
            EXPECT_NE(result.err.find("\nTry '" + name + " --help'.\n"), std::string::npos) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
        }
    }
    EXPECT_EQ(process.Receive(300ms), std::nullopt) << "a refused command line sends nothing";
}
