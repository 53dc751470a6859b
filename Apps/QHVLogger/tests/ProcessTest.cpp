// Runs the real program: texts on the standard streams, the process log, the
// console signals and the exit codes.
#include "CommandLineTexts.h"
#include "testsupport/DemoDatabase.h"
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
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

using testsupport::WaitFor;

namespace {

const std::string Binary = QHVLOGGER_BINARY;

// The program as a child process with its three standard streams on pipes.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment)
    {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);

        std::vector<std::string> args { Binary };
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env(environment);
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool overridden = name == "QHV_LOGNAME=";
            for (const std::string& own : environment) {
                overridden = overridden || own.compare(0, name.size(), name) == 0;
            }
            if (!overridden) {
                env.push_back(entry);
            }
        }
        std::vector<char*> envp;
        for (std::string& entry : env) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);

        const int result = ::posix_spawn(&m_pid, Binary.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        m_in = in[1];
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
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        ::close(m_in);
        ::close(m_out);
        ::close(m_err);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Signal(int signalNumber) { ::kill(m_pid, signalNumber); }
    void Type(const std::string& keys) { ASSERT_EQ(::write(m_in, keys.data(), keys.size()), ssize_t(keys.size())); }

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

    bool Running()
    {
        if (m_status) {
            return false;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = status;
            return false;
        }
        return true;
    }

    // The wait status once the process has ended (bounded wait).
    std::optional<int> Ended()
    {
        WaitFor([this] { return !Running(); }, std::chrono::seconds(20));
        return m_status;
    }

private:
    void Pump()
    {
        ReadAvailable(m_out, m_outText);
        ReadAvailable(m_err, m_errText);
    }
    static void ReadAvailable(int fd, std::string& text)
    {
        pollfd entry { fd, POLLIN, 0 };
        while (::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0) {
            char buffer[4096];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                return;
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    std::string m_outText, m_errText;
    std::optional<int> m_status;
};

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

    std::unique_ptr<Child> Start(const std::vector<std::string>& arguments)
    {
        return std::make_unique<Child>(arguments, std::vector<std::string> { "ProgramData=C:\\ProgramData" });
    }

    std::filesystem::path ConfigFolder() const { return m_database.databaseFile().parent_path(); }
    std::filesystem::path DatabaseFile() const { return m_database.databaseFile(); }
    std::filesystem::path ProcessLog() const { return m_root.path() / "process.log"; }
    std::filesystem::path TraceLog() const { return m_root.path() / "trace.log"; }
    std::string ProcessLogText() const { return testsupport::ReadFile(ProcessLog()); }
    std::filesystem::path OnDriveC(const std::string& rest) const { return m_root.path() / "c" / rest; }

private:
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

// One UDP datagram to a port on 127.0.0.1.
void SendTo(std::uint16_t port, const std::string& bytes)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(fd);
}

}  // namespace

TEST_F(ProcessFixture, HelpShowsTheDebugUsageWaitsForAKeyAndEndsWithZero)
{
    auto child = Start({ "-help" });
    const std::string expectedText = "\n" + expected::DebugUsageText;
    // The token store's own lines may come first.
    ASSERT_TRUE(WaitFor([&] { return Ends(child->Err(), expectedText); })) << child->Err();
    EXPECT_TRUE(child->Running());  // waiting for the key

    child->Type("\n");
    ASSERT_TRUE(EndedWithZero(child->Ended()));
    EXPECT_EQ(child->Out(), "");
    EXPECT_TRUE(Ends(child->Err(), expectedText));
    EXPECT_EQ(ProcessLogText(), StartLines);
}

// Ctrl-C, the system's termination signal and control sentence 24 all end the
// process through the supervisor and the loggers with exit code 0, every time.
TEST_F(ProcessFixture, EndsWithZeroOnEveryRegularPath)
{
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
            SendTo(5076, "$ZELIX,24,\n\r");
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
    const int status = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(4002);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(status, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const timeval timeout { 0, 100000 };
    ::setsockopt(status, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    auto child = Start({ "-debug", "31", "-noconsole" });
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()).find("JobPrepLogging") != std::string::npos; },
                        std::chrono::seconds(20)));
    SendTo(5076, "$ZELIX,170,C:\\survey\\qhv,heave__TOKEPOCSEC_.qhv,30,\n\r");
    ASSERT_TRUE(WaitFor([&] {
        const std::string trace = testsupport::ReadFile(TraceLog());
        return trace.find("JobPrepLogging") != trace.rfind("JobPrepLogging");
    }));

    std::string heave(13, 'h');
    heave[0] = static_cast<char>(0xAA);
    heave[1] = 'R';
    heave[2] = 0x69, heave[3] = 0x33, heave[4] = 0x02, heave[5] = 0x01;  // 1764950529
    for (int i = 0; i < 5; ++i) {
        SendTo(31102, heave);
        SendTo(31202, "$PQRV,25,1,abc*00\r\n");
    }
    const auto qhv = OnDriveC("survey/qhv/heave_1764950529.qhv");
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(qhv).size() == 5 * 15; }));
    std::vector<std::string> sentences;
    ASSERT_TRUE(WaitFor([&] {
        char buffer[64];
        const ssize_t length = ::recv(status, buffer, sizeof buffer, 0);
        if (length > 0) {
            sentences.emplace_back(buffer, static_cast<std::size_t>(length));
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

    SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
    ::close(status);
}

// A logger without a name is not created and one without its parameters waits
// in DBERROR: commands for them are dropped, and sentence 24 still ends the process.
TEST_F(ProcessFixture, EndsCleanlyWithOneLoggerMissingAndTheOtherWithoutParameters)
{
    const std::string sql = "DELETE FROM process WHERE pid = 99; DELETE FROM qhv_param WHERE logger = 106;";
    ASSERT_EQ(std::system(("sqlite3 " + testsupport::ShellQuoted(DatabaseFile().string()) + " " +
                           testsupport::ShellQuoted(sql)).c_str()),
              0);
    auto child = Start({ "-debug", "31", "-noconsole" });
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()).find("JobReadDBError") != std::string::npos; },
                        std::chrono::seconds(20)));
    const std::string trace = testsupport::ReadFile(TraceLog());
    EXPECT_NE(trace.find("ERROR: No process name for pid 99 in TRXDB; the heave logger is not started."),
              std::string::npos);
    EXPECT_NE(trace.find("ERROR: Not able to read P2X process parameters from TRXDB."), std::string::npos);
    SendTo(5076, "$ZELIX,170,,,,\n\r");
    SendTo(5076, "$ZELIX,173,,,,\n\r");
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()).find("JobRelayToParamLogger") != std::string::npos; }));
    SendTo(5076, "$ZELIX,24,\n\r");
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
