// Runs the real program: texts on the standard streams, the process log, the
// console signals and the exit codes.
#include "CommandLineTexts.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/DemoDatabase.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;

namespace {

const std::string Binary = QHVLOGGER_BINARY;

// A demo system database under a temporary drive root, and a configuration
// directory with a property file that sends the process log and the trace to
// files of their own.
class ProcessFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::WriteFile(ConfigFolder() / "log4cplus_configureQHV.ini",
                               "log4cplus.logger.QHVLOGGER=DEBUG, process\n"
                               "log4cplus.additivity.QHVLOGGER=false\n"
                               "log4cplus.appender.process=log4cplus::FileAppender\n"
                               "log4cplus.appender.process.File=" + ProcessLog().string() + "\n"
                               "log4cplus.appender.process.layout=log4cplus::PatternLayout\n"
                               "log4cplus.appender.process.layout.ConversionPattern=%m|%n\n"
                               "log4cplus.logger.LogTrace=DEBUG, trace\n"
                               "log4cplus.additivity.LogTrace=false\n"
                               "log4cplus.appender.trace=log4cplus::FileAppender\n"
                               "log4cplus.appender.trace.File=" + TraceLog().string() + "\n"
                               "log4cplus.appender.trace.layout=log4cplus::PatternLayout\n"
                               "log4cplus.appender.trace.layout.ConversionPattern=%m%n\n");
    }

    std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& arguments)
    {
        return std::make_unique<ChildProcess>(Binary, arguments,
                                              std::vector<std::string> { "ProgramData=C:\\ProgramData" });
    }

    std::filesystem::path ConfigFolder() const { return m_database.databaseFile().parent_path(); }
    std::filesystem::path DatabaseFile() const { return m_database.databaseFile(); }
    std::filesystem::path ProcessLog() const { return m_root.path() / "process.log"; }
    std::filesystem::path TraceLog() const { return m_root.path() / "trace.log"; }
    std::string ProcessLogText() const { return testsupport::ReadFile(ProcessLog()); }
    std::filesystem::path OnDriveC(const std::string& rest) const { return m_root.path() / "c" / rest; }

private:
    // The program is started without an inherited QHV_LOGNAME.
    testsupport::ScopedEnv m_noLogName { "QHV_LOGNAME", std::nullopt };
    testsupport::TempDir m_root;
    testsupport::DemoDatabase m_database { m_root.path() };
};

std::string Summary(const std::string& name, const std::string& mask, bool noConsole)
{
    return expected::Summary(name, mask, "C:/temp/Orvanta.txt", noConsole);
}

const std::string StartLines = "\n\n\n|\nQHV Logger starts|\n";
const std::string CtrlC = "\nQHV: Cleaning up after ctrl-C\n";
const std::string Term = "\nQHV: Cleaning up after termination by OP system.\n";

bool Ends(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool EndedWithZero(const std::optional<int>& status)
{
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

}  // namespace

TEST_F(ProcessFixture, HelpShowsTheDebugUsageWaitsForAKeyAndEndsWithZero)
{
    auto child = Start({ "-help" });
    const std::string expectedText = "\n" + expected::DebugUsageText;
    // The token store's own lines may come first.
    ASSERT_TRUE(WaitFor([&] { return Ends(child->Err(), expectedText); })) << child->Err();
    EXPECT_TRUE(child->Running());  // waiting for the key

    EXPECT_TRUE(child->Type("\n"));
    ASSERT_TRUE(EndedWithZero(child->Ended()));
    EXPECT_EQ(child->Out(), "");
    EXPECT_TRUE(Ends(child->Err(), expectedText));
    EXPECT_EQ(ProcessLogText(), StartLines);
}

// Ctrl-C, the system's termination signal and control sentence 24 all end the
// process through the supervisor and the loggers with exit code 0, every time.
TEST_F(ProcessFixture, EndsWithZeroOnEveryRegularPath)
{
    UdpSocket sender;
    for (int round = 0; round < 9; ++round) {
        const int way = round % 3;  // 0 Ctrl-C, 1 SIGTERM, 2 sentence 24
        const bool noConsole = round % 2 == 1;
        std::vector<std::string> arguments { "-debug", "31" };
        if (noConsole) {
            arguments.push_back("-noconsole");
        }
        std::filesystem::remove(ProcessLog());
        std::filesystem::remove(TraceLog());
        auto child = Start(arguments);
        ASSERT_TRUE(WaitFor([&] { return child->Err().find("\n" + Summary("ORVANTA_CTRL", "0x1f", noConsole)) != std::string::npos; }))
            << child->Err();
        // Both loggers have read their parameters: the P2X logger, selected in
        // the demo row, has switched logging on.
        ASSERT_TRUE(WaitFor([&] {
            return testsupport::ReadFile(TraceLog()).find("JobPrepLogging") != std::string::npos;
        }, std::chrono::seconds(20))) << "round " << round;

        if (way == 2) {
            sender.SendTo(5076, "$ZELIX,24,\n\r");
        } else {
            child->Signal(way == 0 ? SIGINT : SIGTERM);
        }
        ASSERT_TRUE(EndedWithZero(child->Ended())) << "round " << round;
        EXPECT_EQ(child->Out(), way == 0 ? CtrlC : way == 1 ? Term : "");
        const std::string log = ProcessLogText();
        EXPECT_NE(log.find("Terminating...|\n"), std::string::npos) << log;
        EXPECT_NE(log.find("Terminated!|\n"), std::string::npos) << log;
        const std::string trace = testsupport::ReadFile(TraceLog());
        EXPECT_NE(trace.find("argv = ["), std::string::npos);
        EXPECT_NE(trace.find("OrvantaControl terminates."), std::string::npos);
        EXPECT_EQ(child->Err().find("No appenders"), std::string::npos) << child->Err();
    }
}

// The whole process: the supervisor relays the logging commands, the heave
// logger writes .qhv records and the P2X logger .p2x lines, both report status.
TEST_F(ProcessFixture, LogsHeaveAndP2XThroughTheControlPort)
{
    UdpSocket status(4002);
    UdpSocket sender;

    auto child = Start({ "-debug", "31", "-noconsole" });
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()).find("JobPrepLogging") != std::string::npos; },
                        std::chrono::seconds(20)));
    sender.SendTo(5076, "$ZELIX,170,C:\\survey\\qhv,heave__TOKEPOCSEC_.qhv,30,\n\r");
    ASSERT_TRUE(WaitFor([&] {
        const std::string trace = testsupport::ReadFile(TraceLog());
        return trace.find("JobPrepLogging") != trace.rfind("JobPrepLogging");
    }));

    std::string heave(13, 'h');
    heave[0] = static_cast<char>(0xAA);
    heave[1] = 'R';
    heave[2] = 0x69, heave[3] = 0x33, heave[4] = 0x02, heave[5] = 0x01;  // 1764950529
    for (int i = 0; i < 5; ++i) {
        sender.SendTo(31102, heave);
        sender.SendTo(31202, "$PQRV,25,1,abc*00\r\n");
    }
    const auto qhv = OnDriveC("survey/qhv/heave_1764950529.qhv");
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(qhv).size() == 5 * 15; }));
    std::vector<std::string> sentences;
    ASSERT_TRUE(WaitFor([&] {
        if (const std::optional<std::string> sentence = status.Receive(std::chrono::milliseconds(100))) {
            sentences.push_back(*sentence);
        }
        return sentences.size() >= 2;
    }));
    std::sort(sentences.begin(), sentences.end());
    EXPECT_EQ(sentences, std::vector<std::string>({ "$ZELIX,172,ON\n\r", "$ZELIX,175,ON\n\r" }));
    std::vector<std::string> p2x;
    for (const auto& entry : std::filesystem::directory_iterator(OnDriveC("survey/p2x"))) {
        p2x.push_back(testsupport::ReadFile(entry.path()));
    }
    EXPECT_EQ(p2x, std::vector<std::string>({ "$PQRV,25,1,abc*00\r\n" })) << "one file, the sentence written once";

    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}

// A logger without a name is not created and one without its parameters waits
// in DBERROR: commands for them are dropped, and sentence 24 still ends the process.
TEST_F(ProcessFixture, EndsCleanlyWithOneLoggerMissingAndTheOtherWithoutParameters)
{
    const std::string sql = "DELETE FROM process WHERE pid = 99; DELETE FROM qhv_param WHERE logger = 106;";
    ASSERT_EQ(std::system(("sqlite3 " + testsupport::ShellQuoted(DatabaseFile().string()) + " " +
                           testsupport::ShellQuoted(sql)).c_str()),
              0);
    UdpSocket sender;
    auto child = Start({ "-debug", "31", "-noconsole" });
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()).find("JobReadDBError") != std::string::npos; },
                        std::chrono::seconds(20)));
    const std::string trace = testsupport::ReadFile(TraceLog());
    EXPECT_NE(trace.find("ERROR: No process name for pid 99 in TRXDB; the heave logger is not started."),
              std::string::npos);
    EXPECT_NE(trace.find("ERROR: Not able to read P2X process parameters from TRXDB."), std::string::npos);
    sender.SendTo(5076, "$ZELIX,170,,,,\n\r");
    sender.SendTo(5076, "$ZELIX,173,,,,\n\r");
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()).find("JobRelayToParamLogger") != std::string::npos; }));
    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
    EXPECT_NE(ProcessLogText().find("Terminated!|\n"), std::string::npos);
}

TEST_F(ProcessFixture, WithoutOptionsThereIsNoTrace)
{
    auto child = Start({});
    ASSERT_TRUE(WaitFor([&] { return child->Err().find("\n" + Summary("ORVANTA_CTRL", "0x0", false)) != std::string::npos; }))
        << child->Err();
    ASSERT_TRUE(WaitFor([&] { return ProcessLogText().find("UDP receive starting") != std::string::npos; }));
    child->Signal(SIGINT);
    EXPECT_TRUE(EndedWithZero(child->Ended()));
    EXPECT_EQ(child->Out(), CtrlC);
    EXPECT_EQ(testsupport::ReadFile(TraceLog()), "");  // the trace logger exists, the trace object does not
}
