// A program run as a child process for tests: its standard input, output and
// error on pipes, signals sent to it, and its end waited for with a bound.
#pragma once

#include "testsupport/TestUtils.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
public:
    // Runs `program` with `arguments`, in this process's environment with the
    // "NAME=value" entries of `environment` added or replacing their names.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {})
    {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0 ||
            ::pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);

        std::vector<std::string> words { program };
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);

        std::vector<std::string> entries(environment);
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (const std::string& own : environment) {
                replaced = replaced || own.compare(0, name.size(), name) == 0;
            }
            if (!replaced) {
                entries.push_back(entry);
            }
        }
        std::vector<char*> envp;
        for (std::string& entry : entries) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);

        const int result = ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
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

    ~ChildProcess()
    {
        if (!m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_in);
        ::close(m_out);
        ::close(m_err);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Signal(int number) { ::kill(m_pid, number); }
    pid_t Pid() const { return m_pid; }
    // Writes to the child's standard input; false when not all was written.
    bool Type(const std::string& keys) { return ::write(m_in, keys.data(), keys.size()) == ssize_t(keys.size()); }

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
        Pump();
        int status = 0;
        if (!m_status && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = status;
        }
        return !m_status;
    }

    // The wait status once the child has ended; nullopt when it still runs after the bound.
    std::optional<int> Ended(std::chrono::milliseconds bound = std::chrono::seconds(30))
    {
        WaitFor([this] { return !Running(); }, bound);
        return m_status;
    }

    // The exit code once the child has ended (-1 for an end by a signal); nullopt
    // when it still runs after the bound.
    std::optional<int> ExitCode(std::chrono::milliseconds bound = std::chrono::seconds(30))
    {
        const std::optional<int> status = Ended(bound);
        if (!status) {
            return std::nullopt;
        }
        return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
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
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outText;
    std::string m_errText;
    std::optional<int> m_status;
};

}  // namespace testsupport
