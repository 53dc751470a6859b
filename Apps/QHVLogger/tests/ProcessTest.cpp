// Runs the real program: texts on the standard streams, the process log, the
// console signals and the exit codes.
#include "CommandLineTexts.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A configuration directory with a property file that sends the process log and
// the trace to files of their own.
class ProcessFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::filesystem::path config = m_root.path() / "Valdrena Marine" / "ntrx";
        std::filesystem::create_directories(config);
        testsupport::WriteFile(config / "log4cplus_configureQHV.ini",
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
        return std::make_unique<Child>(arguments, std::vector<std::string> { "ProgramData=" + m_root.str(),
                                                                             "QHV_DRIVE_ROOT=" + m_root.str() });
    }

    std::filesystem::path ProcessLog() const { return m_root.path() / "process.log"; }
    std::filesystem::path TraceLog() const { return m_root.path() / "trace.log"; }

private:
    testsupport::TempDir m_root;
};

std::string Summary(const std::string& name, const std::string& mask, bool noConsole)
{
    return expected::Summary(name, mask, "C:/temp/Orvanta.txt", noConsole);
}

const std::string StartLines = "\n\n\n|\nQHV Logger starts|\n";
const std::string CtrlC = "\nQHV: Cleaning up after ctrl-C\n";
const std::string Term = "\nQHV: Cleaning up after termination by OP system.\n";

}  // namespace

TEST_F(ProcessFixture, HelpShowsTheDebugUsageWaitsForAKeyAndEndsWithZero)
{
    auto child = Start({ "-help" });
    const std::string expectedText = "\n" + expected::DebugUsageText;
    ASSERT_TRUE(WaitFor([&] { return child->Err() == expectedText; })) << child->Err();
    EXPECT_TRUE(child->Running());  // waiting for the key

    child->Type("\n");
    const std::optional<int> status = child->Ended();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(child->Out(), "");
    EXPECT_EQ(child->Err(), expectedText);
    EXPECT_EQ(testsupport::ReadFile(ProcessLog()), StartLines);
}

TEST_F(ProcessFixture, RunsAndOutlivesConsoleSignalsWhileNoSupervisorExists)
{
    for (int round = 0; round < 8; ++round) {
        const bool noConsole = round % 2 == 1;
        std::vector<std::string> arguments { "-debug", "31", "-name", "QHV_TEST" };
        if (noConsole) {
            arguments.push_back("-noconsole");
        }
        std::filesystem::remove(TraceLog());
        auto child = Start(arguments);

        std::string commandLine = Binary + " ";
        for (const std::string& argument : arguments) {
            commandLine += argument + " ";
        }
        const std::string traceLine = "argv = [" + commandLine + "]\n";
        const std::string expectedErr = "\n" + Summary("QHV_TEST", "0x1f", noConsole) + (noConsole ? "" : traceLine + "\n");
        ASSERT_TRUE(WaitFor([&] { return child->Err() == expectedErr; })) << child->Err();
        ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()) == traceLine + "\n"; }));

        child->Signal(round % 3 == 2 ? SIGTERM : SIGINT);
        const std::string first = round % 3 == 2 ? Term : CtrlC;
        ASSERT_TRUE(WaitFor([&] { return child->Out() == first; })) << child->Out();
        child->Signal(SIGTERM);
        ASSERT_TRUE(WaitFor([&] { return child->Out() == first + Term; })) << child->Out();
        child->Signal(SIGINT);
        ASSERT_TRUE(WaitFor([&] { return child->Out() == first + Term + CtrlC; })) << child->Out();

        EXPECT_TRUE(child->Running()) << "round " << round;
        EXPECT_EQ(child->Err(), expectedErr);
        EXPECT_EQ(testsupport::ReadFile(ProcessLog()).substr(0, StartLines.size()), StartLines);
    }
}

TEST_F(ProcessFixture, WithoutOptionsThereIsNoTrace)
{
    auto child = Start({});
    ASSERT_TRUE(WaitFor([&] { return child->Err() == "\n" + Summary("ORVANTA_CTRL", "0x0", false); })) << child->Err();
    child->Signal(SIGINT);
    ASSERT_TRUE(WaitFor([&] { return child->Out() == CtrlC; }));
    EXPECT_TRUE(child->Running());
    EXPECT_EQ(testsupport::ReadFile(TraceLog()), "");  // the trace logger exists, the trace object does not
}
