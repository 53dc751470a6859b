#include "QHVLogger/CommandLine.h"
#include "QHVLogger/ConsoleStop.h"
#include "QHVLogger/ProcessWide.h"
#include "QHVLogger/QHV.h"

#include "CommandLineTexts.h"

#include "fsm/SignalNames.h"
#include "net/UdpReceiver.h"
#include "testsupport/RecordingMachine.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>

#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A command line as the process receives it: argv[0] first, argv[argc] null.
class Argv {
public:
    Argv(const std::vector<const char*>& arguments)
    {
        m_texts.emplace_back("QHVLogger");
        for (const char* argument : arguments) {
            m_texts.emplace_back(argument);
        }
        for (std::string& text : m_texts) {
            m_pointers.push_back(text.data());
        }
        m_pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_texts.size()); }
    char** argv() { return m_pointers.data(); }

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_pointers;
};

// Sends what a stream receives to a string for the lifetime of the object.
class Capture {
public:
    explicit Capture(std::ostream& stream) : m_stream(stream), m_previous(stream.rdbuf(m_text.rdbuf())) {}
    ~Capture() { m_stream.rdbuf(m_previous); }
    std::string Text() const { return m_text.str(); }

private:
    std::ostream& m_stream;
    std::ostringstream m_text;
    std::streambuf* m_previous;
};

using expected::DebugUsageText;
using expected::Summary;

struct Evaluated {
    CommandLineOptions options;
    std::string text;
};

Evaluated Evaluate(const std::vector<const char*>& arguments)
{
    Argv command(arguments);
    std::ostringstream out;
    Evaluated result { EvaluateOptions(command.argc(), command.argv(), out), "" };
    result.text = out.str();
    return result;
}

}  // namespace

TEST(ReadArg, ConvertsTheArgumentsAfterAWholeKeyword)
{
    Argv command({ "-c", "300", "-d", "2.5", "-i", "-7", "-l", "123456", "-x", "ff", "-s", "text", "-flag" });
    std::uint8_t c = 0;
    double d = 0;
    std::int32_t i = 0, l = 0, x = 0;
    char* s = nullptr;
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-c %c", &c), 2);
    EXPECT_EQ(c, 44);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-d %d", &d), 2);
    EXPECT_DOUBLE_EQ(d, 2.5);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-i %i", &i), 2);
    EXPECT_EQ(i, -7);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-l %l", &l), 2);
    EXPECT_EQ(l, 123456);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-x %x", &x), 2);
    EXPECT_EQ(x, 255);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-s %s", &s), 2);
    EXPECT_EQ(s, command.argv()[12]);  // the argument itself, not a copy
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-flag"), 2);
    // Two conversions take the two arguments after the keyword.
    std::int32_t first = 0, second = 0;
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-i %i %x", &first, &second), 2);
    EXPECT_EQ(first, -7);
    EXPECT_EQ(second, 0);  // "-l" read as hexadecimal
}

TEST(ReadArg, AbsentOptionsAndMissingValuesLeaveTheDestinationsAlone)
{
    Argv command({ "-debug31", "-DEBUG", "7", "-name" });
    std::uint8_t mask = 99;
    char* name = nullptr;
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-debug %c", &mask), 1);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-name %s", &name), 1);  // no value follows
    EXPECT_EQ(mask, 99);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-QHVLogger"), 1);

    // argv[0] is never an option.
    Argv self({});
    self.argv()[0][0] = '-';
    EXPECT_EQ(ReadArg(self.argc(), self.argv(), "-HVLogger"), 1);

    // Two values needed, one there.
    Argv twoNeeded({ "-pos", "1" });
    std::int32_t a = 5, b = 6;
    EXPECT_EQ(ReadArg(twoNeeded.argc(), twoNeeded.argv(), "-pos %i %i", &a, &b), 1);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 6);
}

TEST(ReadArg, FaultyFormatsAreReported)
{
    Argv command({ "-n", "1", "2" });
    std::int32_t converted = 0;
    double unused = 0;
    Capture err(std::cerr);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "name %i", &converted), 0);
    EXPECT_EQ(ReadArg(command.argc(), command.argv(), "-n %i %q", &converted, &unused), 0);
    EXPECT_EQ(converted, 1);  // converted before the faulty one
    EXPECT_EQ(err.Text(), "\n\nReadArg: Missing '-' in call argument.\n"
                          "\n\nReadArg: Faulty unnamed argument type\n");
}

TEST(EvaluateOptions, NoArgumentsGiveTheDefaultsAndTheSummary)
{
    testsupport::ScopedEnv logName("QHV_LOGNAME", std::nullopt);
    const Evaluated result = Evaluate({});
    EXPECT_EQ(result.options.processName, "ORVANTA_CTRL");
    EXPECT_EQ(result.options.debugMask, 0);
    EXPECT_EQ(result.options.logFile, "C:/temp/Orvanta.txt");
    EXPECT_FALSE(result.options.noConsole);
    EXPECT_EQ(result.options.next, CommandLineOptions::Next::Run);
    EXPECT_EQ(result.text, "\n" + Summary("ORVANTA_CTRL", "0x0", "C:/temp/Orvanta.txt", false));

    testsupport::ScopedEnv fromEnvironment("QHV_LOGNAME", std::string("/var/log/qhv.txt"));
    EXPECT_EQ(Evaluate({}).options.logFile, "/var/log/qhv.txt");
    EXPECT_EQ(Evaluate({ "-logfile", "c:\\x y.txt" }).options.logFile, "c:\\x y.txt");
}

TEST(EvaluateOptions, EveryOptionShowsInTheSummary)
{
    const Evaluated result =
        Evaluate({ "-noconsole", "-logfile", "c:\\temp\\qhv.txt", "-debug", "31", "-name", "QHV_TEST", "-unknown" });
    EXPECT_EQ(result.options.next, CommandLineOptions::Next::Run);
    EXPECT_EQ(result.options.debugMask, 31);
    EXPECT_TRUE(result.options.noConsole);
    EXPECT_EQ(result.text, "\n" + Summary("QHV_TEST", "0x1f", "c:\\temp\\qhv.txt", true));
}

TEST(EvaluateOptions, DebugMaskIsTheValueModulo256)
{
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        { { "-debug", "300" }, "0x2c" },  { { "-debug", "abc" }, "0x0" }, { { "-debug31" }, "0x0" },
        { { "-debug", "-1" }, "0xff" },   { { "-debug" }, "0x0" },        { { "-debug", "256" }, "0x0" },
        { { "-debug", "99999999999999999999" }, "0xff" },
    };
    for (const auto& [arguments, shown] : cases) {
        Argv command(arguments);
        std::ostringstream out;
        EvaluateOptions(command.argc(), command.argv(), out);
        EXPECT_NE(out.str().find("- Debug                     : " + shown + "\n"), std::string::npos)
            << arguments[0] << " " << (arguments.size() > 1 ? arguments[1] : "");
    }
}

TEST(EvaluateOptions, NameAsLastArgumentFallsBackToTheDefault)
{
    const Evaluated result = Evaluate({ "-debug", "4", "-name" });
    EXPECT_EQ(result.options.processName, "ORVANTA_CTRL");
    EXPECT_EQ(result.options.debugMask, 4);
    EXPECT_EQ(result.options.next, CommandLineOptions::Next::Run);
}

TEST(EvaluateOptions, HelpShowsTheDebugUsageAndNoSummary)
{
    const Evaluated result = Evaluate({ "-debug", "3", "-help" });
    EXPECT_EQ(result.options.next, CommandLineOptions::Next::WaitKeyThenEnd);
    EXPECT_EQ(result.text, "\n" + DebugUsageText);
}

TEST(CommandLineTexts, UsageAndCommandLine)
{
    std::ostringstream out;
    WriteUsage(out);
    EXPECT_EQ(out.str(), "\nUsage:"
                         "\n\t[-name \"QHV process name\" Name of the QHV process]"
                         "\n\t[-debug arg               Arg is sum of selected choices:"
                         "\n\t                          1=Trans, 2=Sig, 4=Job, 8=Data, 16=Timers, 31=All]"
                         "\n\t[-logfile \"file name\"     Use to log to file]"
                         "\n\t[-noconsole               Use to turn off logging to console]\n");

    Argv command({ "-debug", "31", "-name", "A B" });
    EXPECT_EQ(CommandLineText(command.argc(), command.argv()), "QHVLogger -debug 31 -name A B ");
}

TEST(ConsoleHandlers, WriteTheirMessageAndAskTheSupervisorToTerminate)
{
    testsupport::RecordingMachine supervisor("ORVANTA_CTRL");
    {
        Capture out(std::cout);
        InterruptHandler(2);  // no supervisor yet: the message only
        g_supervisor = &supervisor;
        InterruptHandler(2);
        TerminationHandler(15);
        g_supervisor = nullptr;
        EXPECT_EQ(out.Text(), "\nQHV: Cleaning up after ctrl-C\n"
                              "\nQHV: Cleaning up after ctrl-C\n"
                              "\nQHV: Cleaning up after termination by OP system.\n");
    }
    const auto signals = supervisor.Signals();
    ASSERT_EQ(signals.size(), 2u);
    for (const auto& signal : signals) {
        EXPECT_EQ(signal.number, ZELIX_24);
        EXPECT_EQ(signal.sender, nullptr);
        EXPECT_TRUE(signal.atBack);
        EXPECT_EQ(signal.payload, std::string("$ZELIX,24,\n\r", 12));
    }
}

class ProcessEnd : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ProcessEnd, ReleasedSemaphoreLogsTerminatedAndEndsWithZero)
{
    EXPECT_EXIT(
        {
            log4cplus::SharedAppenderPtr console(new log4cplus::ConsoleAppender(true, true));
            ProcessLogger().addAppender(console);
            ProcessLogger().setLogLevel(log4cplus::INFO_LOG_LEVEL);
            std::thread([] { g_terminationSemaphore.release(); }).detach();
            CommandLineOptions options;
            RunProcess(options, nullptr, "QHVLogger ");
        },
        ::testing::ExitedWithCode(0), "Terminated!");
}

TEST_F(ProcessEnd, ControlPortThatCannotBeBoundEndsWithMinusOne)
{
    boost::asio::io_context blockerIo;
    boost::asio::ip::udp::socket blocker(blockerIo, boost::asio::ip::udp::endpoint(boost::asio::ip::udp::v4(), 0));
    const std::uint16_t port = blocker.local_endpoint().port();
    ASSERT_NE(port, 0);
    EXPECT_EXIT(
        {
            boost::asio::io_context io;
            UdpReceiver receiver(io);
            OpenControlPortOrEnd(receiver, port, nullptr);
        },
        ::testing::ExitedWithCode(255),
        // The child runs this test afresh, with a blocked port of its own.
        "QHV: cannot open control port [0-9]+: bind to input port [0-9]+: Address already in use");

    // A free port is simply opened.
    boost::asio::io_context io;
    UdpReceiver receiver(io);
    OpenControlPortOrEnd(receiver, 0, nullptr);
    EXPECT_NE(receiver.localPort(), 0);
}

// The reuse-address option would let a second QHVLogger bind the port and take
// the first one's datagrams; the claim on the port stops it instead.
TEST_F(ProcessEnd, ControlPortOfAnotherQHVLoggerEndsWithMinusOne)
{
    const std::uint16_t port = testsupport::FreeUdpPort();
    boost::asio::io_context io;
    UdpReceiver first(io);
    const platform::PortClaim claim = OpenControlPortOrEnd(first, port, nullptr);
    ASSERT_TRUE(claim.Held());
    EXPECT_EXIT(
        {
            UdpReceiver second(io);
            OpenControlPortOrEnd(second, port, nullptr);
        },
        ::testing::ExitedWithCode(255), "QHV: cannot open control port [0-9]+: another QHVLogger process listens on it");
}
