// The surroundings of a logger under test, all real: a demo system database
// (SQLite over ODBC) under a temporary drive root, a token file the test writes,
// a listener on the operator-status port, UDP datagrams to the data port, and
// the trace recorded from the "LogTrace" logger.
#pragma once

#include "LogTrace/LogTrace.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "net/ControlSentence.h"
#include "net/SocketTable.h"
#include "testsupport/DemoDatabase.h"
#include "testsupport/RecordingAppender.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"
#include "tokens/GetToken.h"

#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace loggertest {

namespace fs = std::filesystem;

using testsupport::FreeUdpPort;
using testsupport::UdpSocket;

// A full disk: a 64 KiB tmpfs on a temporary folder while the object lives,
// filled up by the file "ballast" but for the 4 KiB of the file "spare", which
// FreeSpare() deletes. Detached lazily, so that it goes even with a file on it
// still open. Mounting needs root; Mounted() tells whether it was allowed.
class FullDisk {
public:
    FullDisk() : m_folder(m_dir.path() / "full")
    {
        fs::create_directories(m_folder);
        if (::mount("tmpfs", m_folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
            m_error = std::strerror(errno);
            return;
        }
        m_mounted = true;
        testsupport::WriteFile(m_folder / "spare", std::string(4096, 's'));
        std::ofstream ballast(m_folder / "ballast", std::ios::binary);
        for (const std::string page(4096, 'b'); ballast.write(page.data(), 4096).flush();) {
        }
    }
    ~FullDisk()
    {
        if (m_mounted) {
            ::umount2(m_folder.c_str(), MNT_DETACH);
        }
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    bool Mounted() const { return m_mounted; }
    const std::string& Error() const { return m_error; }
    const fs::path& Folder() const { return m_folder; }
    void FreeSpare() const { fs::remove(m_folder / "spare"); }

private:
    testsupport::TempDir m_dir;
    fs::path m_folder;
    bool m_mounted = false;
    std::string m_error;
};

// Collects every datagram that arrives at the operator-status port.
class StatusListener {
public:
    StatusListener() : m_socket(OperatorStatusPort)
    {
        timeval timeout { 0, 50000 };
        ::setsockopt(m_socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        m_thread = std::thread([this] {
            char buffer[512];
            while (!m_stop) {
                const ssize_t length = ::recv(m_socket.Fd(), buffer, sizeof buffer, 0);
                if (length > 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_sentences.emplace_back(buffer, static_cast<std::size_t>(length));
                }
            }
        });
    }
    ~StatusListener()
    {
        m_stop = true;
        m_thread.join();
    }
    std::vector<std::string> Sentences() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sentences;
    }
    bool WaitForCount(std::size_t count) const
    {
        return testsupport::WaitFor([&] { return Sentences().size() >= count; });
    }

private:
    UdpSocket m_socket;
    std::atomic<bool> m_stop { false };
    mutable std::mutex m_mutex;
    std::vector<std::string> m_sentences;
    std::thread m_thread;
};

// A token as the token file holds it: an integer (type 2) or a text (type 3).
using TokenValueOf = std::variant<int, std::string>;

// Demo database, configuration folder with a token file, token store and trace.
class Surroundings {
public:
    explicit Surroundings(const std::map<std::string, TokenValueOf>& tokens)
        : m_database(m_dir.path()), m_programData("ProgramData", "C:\\ProgramData")
    {
        WriteTokens(tokens);
        m_store = std::make_unique<CGetToken>();
        trace.SetConsole(std::getenv("QHV_TEST_TRACE") != nullptr);
    }

    // Rewrites the token file; the store reads it at every lookup.
    void WriteTokens(const std::map<std::string, TokenValueOf>& tokens)
    {
        std::string entries;
        for (const auto& [name, value] : tokens) {
            if (!entries.empty()) {
                entries += ", ";
            }
            if (const int* number = std::get_if<int>(&value)) {
                entries += R"({ "Name": ")" + name + R"(", "Descr": "", "Type": 2, "Value": ")" +
                           std::to_string(*number) + "\" }";
            } else {
                std::string text;
                for (char c : std::get<std::string>(value)) {
                    text += c == '\\' ? std::string("\\\\") : std::string(1, c);
                }
                entries += R"({ "Name": ")" + name + R"(", "Descr": "", "Type": 3, "Value": ")" + text + "\" }";
            }
        }
        testsupport::WriteFile(ConfigFolder() / "TRXTokens.json",
                               R"({ "lastsave": "20260101_000000", "tokens": [ )" + entries +
                                   R"( ], "version": "1" })");
    }

    CGetToken& Store() { return *m_store; }
    const fs::path& Root() const { return m_dir.path(); }
    // Where the system's "C:\<rest>" lies.
    fs::path OnDriveC(const std::string& rest) const { return m_dir.path() / "c" / rest; }
    fs::path ConfigFolder() const { return OnDriveC("ProgramData/Valdrena Marine/ntrx"); }

    // Trace lines that contain `text`.
    std::size_t TraceCount(const std::string& text) const
    {
        const std::vector<std::string> lines = m_recorder.lines();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }
    bool WaitForTrace(const std::string& text, std::size_t count = 1) const
    {
        return testsupport::WaitFor([&] { return TraceCount(text) >= count; });
    }

    // Texts of the recorded messages with this number (from arrivedMessagesString).
    std::vector<std::string> MessageTexts(int number) const
    {
        return Query("SELECT s.mess FROM arrivedMessages m JOIN arrivedMessagesString s ON "
                     "m.dateYYYYMMDD = s.dateYYYYMMDD AND m.millisecSinceMidnight = s.millisecSinceMidnight "
                     "WHERE m.number = " + std::to_string(number));
    }
    std::size_t MessageCount(int number) const
    {
        return Query("SELECT number FROM arrivedMessages WHERE number = " + std::to_string(number)).size();
    }

    // Runs a statement on the system database (to change a parameter row, say).
    void Execute(const std::string& sql) const { Query(sql); }

    LogTrace trace;

private:
    std::vector<std::string> Query(const std::string& sql) const
    {
        sqlite3* db = nullptr;
        std::vector<std::string> rows;
        if (sqlite3_open_v2(m_database.databaseFile().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db, 5000);
            sqlite3_exec(
                db, sql.c_str(),
                [](void* out, int, char** values, char**) {
                    static_cast<std::vector<std::string>*>(out)->emplace_back(values[0] != nullptr ? values[0] : "");
                    return 0;
                },
                &rows, nullptr);
        }
        sqlite3_close(db);
        return rows;
    }

    testsupport::TempDir m_dir;
    testsupport::DemoDatabase m_database;
    testsupport::ScopedEnv m_programData;
    testsupport::ScopedRecorder m_recorder { "LogTrace" };
    std::unique_ptr<CGetToken> m_store;
};

// Hands a control sentence to a machine as the supervisor relays it.
inline void PutSentence(CFsmBase& machine, const std::string& sentence)
{
    PutControlSignal(sentence.data(), sentence.size(), &machine);
}

// Hands a signal without payload (a timer expiry, say) to a machine.
inline void PutSignal(CFsmBase& machine, std::int32_t number)
{
    CTRXSignal* signal = new CTRXSignal(number, nullptr, 0);
    machine.PutExternal(&signal, true);
}

// The records of a .qhv file: each length-prefixed datagram.
inline std::vector<std::string> QhvRecords(const fs::path& file)
{
    const std::string bytes = testsupport::ReadFile(file);
    std::vector<std::string> records;
    std::size_t at = 0;
    while (at + 2 <= bytes.size()) {
        const std::size_t length =
            static_cast<unsigned char>(bytes[at]) | (static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8);
        if (at + 2 + length > bytes.size()) {
            records.push_back("<torn>");
            break;
        }
        records.push_back(bytes.substr(at + 2, length));
        at += 2 + length;
    }
    return records;
}

// The regular files of a folder, by name.
inline std::vector<fs::path> FilesIn(const fs::path& folder)
{
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace loggertest
