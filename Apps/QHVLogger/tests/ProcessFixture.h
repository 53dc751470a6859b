// The real program started by a test: a demo system database under a temporary
// drive root, and a configuration directory whose property file sends the
// process log and the trace to files of their own.
#pragma once

#include "testsupport/ChildProcess.h"
#include "testsupport/DemoDatabase.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace processtest {

const std::string Binary = QHVLOGGER_BINARY;

// Times `part` occurs in `text`, overlapping ones included.
inline std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A 13-byte heave datagram of the time 1764950529 with `sequence` in bytes 6 to 9.
inline std::string SequencedHeave(std::uint32_t sequence)
{
    std::string datagram(13, '\0');
    datagram[0] = '\xAA';
    datagram[1] = 'R';
    for (int i = 0; i < 4; ++i) {
        datagram[2 + i] = static_cast<char>(1764950529u >> (24 - 8 * i));
        datagram[6 + i] = static_cast<char>(sequence >> (24 - 8 * i));
    }
    return datagram;
}

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

    std::unique_ptr<testsupport::ChildProcess> Start(const std::vector<std::string>& arguments)
    {
        return std::make_unique<testsupport::ChildProcess>(Binary, arguments,
                                              std::vector<std::string> { "ProgramData=C:\\ProgramData" });
    }

    std::filesystem::path ConfigFolder() const { return m_database.databaseFile().parent_path(); }
    std::filesystem::path DatabaseFile() const { return m_database.databaseFile(); }
    std::filesystem::path ProcessLog() const { return m_root.path() / "process.log"; }
    std::filesystem::path TraceLog() const { return m_root.path() / "trace.log"; }
    std::string ProcessLogText() const { return testsupport::ReadFile(ProcessLog()); }
    std::string TraceText() const { return testsupport::ReadFile(TraceLog()); }
    // Times `text` occurs in the trace.
    std::size_t TraceCount(const std::string& text) const { return Occurrences(TraceText(), text); }
    // Rows of arrivedMessages with this number (-1 when the database cannot be read).
    int MessageCount(int number) const
    {
        sqlite3* database = nullptr;
        int count = -1;
        if (sqlite3_open_v2(DatabaseFile().c_str(), &database, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(database, 5000);
            sqlite3_stmt* statement = nullptr;
            const std::string sql = "SELECT COUNT(*) FROM arrivedMessages WHERE number = " + std::to_string(number);
            if (sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                count = sqlite3_column_int(statement, 0);
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(database);
        return count;
    }
    // Until both loggers have read their parameters: the P2X logger, selected
    // in the demo row, has switched logging on.
    bool WaitUntilRunning() const
    {
        return testsupport::WaitFor([&] { return TraceCount("JobPrepLogging") > 0; }, std::chrono::seconds(20));
    }
    std::filesystem::path OnDriveC(const std::string& rest) const { return m_root.path() / "c" / rest; }

private:
    // The program is started without an inherited QHV_LOGNAME.
    testsupport::ScopedEnv m_noLogName { "QHV_LOGNAME", std::nullopt };
    testsupport::TempDir m_root;
    testsupport::DemoDatabase m_database { m_root.path() };
};

bool EndedWithZero(const std::optional<int>& status)
{
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}


// The sensor from a thread of its own: 13-byte heave datagrams to port 31102,
// one each `period` (about 200 a second by default), each with its sequence
// number in bytes 6 to 9.
class HeaveFeed {
public:
    explicit HeaveFeed(std::chrono::milliseconds period = std::chrono::milliseconds(5))
        : m_period(period), m_thread([this] { Run(); })
    {
    }
    ~HeaveFeed() { Stop(); }
    // Stops sending; the number of datagrams sent.
    std::uint32_t Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_sent;
    }

private:
    void Run()
    {
        const testsupport::UdpSocket socket;
        for (; !m_stop; ++m_sent) {
            const std::string datagram = SequencedHeave(m_sent);
            socket.SendTo(31102, datagram);
            std::this_thread::sleep_for(m_period);
        }
    }

    const std::chrono::milliseconds m_period;
    std::atomic<bool> m_stop { false };
    std::uint32_t m_sent = 0;
    std::thread m_thread;
};

}  // namespace processtest
