// Runs qhvsim and qhvctl as child processes: the exact bytes they send to a
// socket on an ephemeral port, what qhvctl listen prints, their ends by signal,
// and their exit codes and texts for good and bad command lines.
#include "testsupport/ChildProcess.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;

const std::string QhvSim = QHVSIM_BINARY;
const std::string QhvCtl = QHVCTL_BINARY;

struct Result {
    std::optional<int> exitCode;
    std::string out;
    std::string err;
};

Result RunToEnd(const std::string& program, const std::vector<std::string>& arguments)
{
    ChildProcess child(program, arguments);
    Result result;
    result.exitCode = child.ExitCode();
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

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
    UdpSocket process;
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
        std::vector<std::string> line = { "--host", "127.0.0.1", "--port", std::to_string(process.Port()) };
        line.insert(line.end(), arguments.begin(), arguments.end());
        const Result result = RunToEnd(QhvCtl, line);
        EXPECT_EQ(result.exitCode, 0) << arguments[0] << "\n" << result.err;
        EXPECT_EQ(process.Receive(), sentence) << arguments[0];
    }
    EXPECT_EQ(process.Receive(300ms), std::nullopt) << "one datagram per command";
}

TEST(QhvCtl, ListensForStatusSentencesUntilTheTimeRunsOutOrASignal)
{
    UdpSocket logger;
    const std::uint16_t port = testsupport::FreeUdpPort();
    {
        ChildProcess listener(QhvCtl, { "listen", "--status-port", std::to_string(port), "--seconds", "2" });
        ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 30s))
            << listener.Err();
        EXPECT_TRUE(logger.SendTo(port, "$ZELIX,172,ON\n\r"));
        EXPECT_TRUE(logger.SendTo(port, "$ZELIX,175,OFF\r\n"));
        EXPECT_EQ(listener.ExitCode(), 0) << listener.Err();
        const std::regex expected(R"(\d\d:\d\d:\d\d\.\d\d\d  \$ZELIX,172,ON\n)"
                                  R"(\d\d:\d\d:\d\d\.\d\d\d  \$ZELIX,175,OFF\\r\\n\n)");
        EXPECT_TRUE(std::regex_match(listener.Out(), expected)) << listener.Out();
        EXPECT_NE(listener.Err().find("received 2 status sentences"), std::string::npos) << listener.Err();
    }
    {
        ChildProcess listener(QhvCtl, { "listen", "--status-port", std::to_string(port) });
        ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 30s));
        listener.Signal(SIGTERM);
        EXPECT_EQ(listener.ExitCode(), 0);
        EXPECT_NE(listener.Err().find("stopped by SIGTERM"), std::string::npos) << listener.Err();
    }
    // A port that is taken is a failure to run, not a usage error.
    const Result taken =
        RunToEnd(QhvCtl, { "listen", "--status-port", std::to_string(logger.Port()), "--seconds", "1" });
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_NE(taken.err.find("cannot bind UDP port " + std::to_string(logger.Port())), std::string::npos) << taken.err;
}

TEST(QhvSim, SendsTheCountedHeaveDatagramsPacedWithEveryTenthFollowedByA52ByteOne)
{
    UdpSocket logger;
    const std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
    const auto started = std::chrono::steady_clock::now();
    const Result result = RunToEnd(QhvSim, { "--heave-port", std::to_string(logger.Port()), "--count", "50",
                                             "--heave-rate", "1000", "--with-52", "--every", "10", "--p2x-rate", "0" });
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
    UdpSocket logger;
    const Result steady = RunToEnd(QhvSim, { "--heave-rate", "0", "--p2x-port", std::to_string(logger.Port()),
                                             "--p2x-rate", "1000", "--count", "8", "--change-every", "0" });
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
    const Result changing = RunToEnd(QhvSim, { "--heave-rate", "0", "--p2x-port", std::to_string(logger.Port()),
                                               "--p2x-rate", "100", "--count", "40", "--change-every", "0.1" });
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
    UdpSocket heave;
    UdpSocket sentences;
    ChildProcess simulator(QhvSim, { "--heave-port", std::to_string(heave.Port()), "--p2x-port",
                                     std::to_string(sentences.Port()) });
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

    UdpSocket process;
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
        { { "heave-start", "--port", std::to_string(process.Port()), "--dir", "a,b" }, "--dir: \"a,b\" holds a ','" },
        { { "p2x-start", "--port", std::to_string(process.Port()), "--file", "x\ny" },
          "--file: \"x\\ny\" holds a line end" },
        { { "heave-start", "--port", std::to_string(process.Port()), "--interval", "1h" }, "--interval" },
        { { "heave-stop", "--port", std::to_string(process.Port()), "--dir", "x" },
          "--dir does not go with heave-stop" },
        { { "terminate", "--port", "0" }, "--port" },
        { { "terminate", "--port", std::to_string(process.Port()), "now" }, "unexpected argument" },
        { { "send", "--port", std::to_string(process.Port()) }, "send needs the TEXT" },
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
