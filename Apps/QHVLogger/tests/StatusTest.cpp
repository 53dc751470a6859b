// What the operator sees of the real program: the STATUS= line to a
// notification socket of the test's own, `qhvctl status` (text, JSON and exit
// code) over the status socket, and the metrics file, while the heave logger
// goes from off to logging to stalled, and with a port held by another socket,
// a parameter row missing and the database locked.
#include "ProcessFixture.h"
#include "testsupport/NotifySocket.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using processtest::EndedWithZero;
using processtest::HeaveFeed;
using processtest::ProcessFixture;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Answer {
    int exitCode = -1;
    std::string out;
};

// A Unix stream socket of the test at `path`: listening when `listen`, else
// bound and closed at once, which leaves the file of a process that has ended.
int UnixSocketAt(const fs::path& path, bool listen)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    if (listen) {
        EXPECT_EQ(::listen(fd, 1), 0);
        return fd;
    }
    ::close(fd);
    return -1;
}

int ConnectTo(const fs::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

std::string ReadToEnd(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// The samples of a metrics text ("name{labels}" to value); empty when any line
// is not a comment or a whole sample, or the text does not end with the last
// family's sample and a line end: a part of a file.
std::map<std::string, double> ParsedMetrics(const std::string& text)
{
    std::map<std::string, double> samples;
    if (text.empty() || text.back() != '\n' || text.find("qhvlogger_database_up ") == std::string::npos) {
        return {};
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP qhvlogger_", 0) == 0 || line.rfind("# TYPE qhvlogger_", 0) == 0) {
            continue;
        }
        const std::size_t blank = line.rfind(' ');
        if (line.rfind("qhvlogger_", 0) != 0 || blank == std::string::npos) {
            return {};
        }
        try {
            std::size_t used = 0;
            const double value = std::stod(line.substr(blank + 1), &used);
            if (used != line.size() - blank - 1) {
                return {};
            }
            samples[line.substr(0, blank)] = value;
        } catch (const std::exception&) {
            return {};
        }
    }
    return samples;
}

class StatusTest : public ProcessFixture {
protected:
    fs::path SocketPath() const { return OnDriveC("run/status.sock"); }
    fs::path MetricsPath() const { return OnDriveC("metrics/qhvlogger.prom"); }

    std::unique_ptr<ChildProcess> StartLogger()
    {
        fs::create_directories(SocketPath().parent_path());
        fs::create_directories(MetricsPath().parent_path());
        return std::make_unique<ChildProcess>(
            processtest::Binary, std::vector<std::string> { "-debug", "4", "-noconsole" },
            std::vector<std::string> { "ProgramData=C:\\ProgramData", "NOTIFY_SOCKET=" + m_notify.Path(),
                                       "QHV_STATUS_SOCKET=" + SocketPath().string(), "QHV_SENSOR_FROM=127.0.0.1",
                                       "QHV_METRICS_FILE=" + MetricsPath().string() });
    }

    void Sql(const std::string& statement)
    {
        sqlite3* database = nullptr;
        ASSERT_EQ(sqlite3_open(DatabaseFile().c_str(), &database), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(database, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << statement;
        sqlite3_close(database);
    }

    // qhvctl status as a child process.
    Answer Qhvctl(std::vector<std::string> arguments) const
    {
        arguments.insert(arguments.begin(), "status");
        ChildProcess qhvctl(QHVCTL_BINARY, arguments, { "QHV_STATUS_SOCKET=" + SocketPath().string() });
        Answer answer;
        const std::optional<int> status = qhvctl.Ended(20s);
        answer.exitCode = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
        answer.out = qhvctl.Out() + qhvctl.Err();
        return answer;
    }
    // Until qhvctl status exits with `code` and its output holds every one of `parts`.
    bool WaitForStatus(int code, const std::vector<std::string>& parts, Answer* last = nullptr,
                       std::chrono::seconds bound = 30s) const
    {
        Answer answer;
        const bool seen = WaitFor([&] {
            answer = Qhvctl({});
            for (const std::string& part : parts) {
                if (answer.out.find(part) == std::string::npos) {
                    return false;
                }
            }
            return answer.exitCode == code;
        }, bound);
        if (last != nullptr) {
            *last = answer;
        }
        return seen;
    }
    QJsonObject StatusJson() const
    {
        const Answer answer = Qhvctl({ "--json" });
        return QJsonDocument::fromJson(QByteArray::fromStdString(answer.out)).object();
    }
    // Until a STATUS= message holding every one of `parts` has come.
    bool WaitForStatusLine(const std::vector<std::string>& parts, std::string* line = nullptr) const
    {
        return WaitFor([&] {
            for (const std::string& message : m_notify.Messages()) {
                bool all = message.rfind("STATUS=heave: ", 0) == 0;
                for (const std::string& part : parts) {
                    all = all && message.find(part) != std::string::npos;
                }
                if (all) {
                    if (line != nullptr) {
                        *line = message;
                    }
                    return true;
                }
            }
            return false;
        }, 30s);
    }
    void Send(const std::string& sentence) const { m_control.SendTo(5076, sentence); }

    servicetest::NotifySocket m_notify { OnDriveC("") };
    UdpSocket m_control;
};

}  // namespace

// Off, then logging, then stalled, then ended: the STATUS= line, qhvctl's text,
// JSON and exit code, and the metrics file follow each step; the socket replaces
// the file a dead process left, is 0660 and outlives a silent client.
TEST_F(StatusTest, StatusLineQhvctlAndMetricsFollowTheHeaveLogger)
{
    Sql("UPDATE integer_values SET value = 3 WHERE id = 2103");  // heave maximum wait: 3 s
    fs::create_directories(SocketPath().parent_path());
    UnixSocketAt(SocketPath(), false);  // stale, from a process that has ended
    auto child = StartLogger();
    ASSERT_TRUE(WaitUntilRunning()) << TraceText();
    Send("$ZELIX,174,\n\r");  // the demo row has P2X logging on

    Answer answer;
    ASSERT_TRUE(WaitForStatus(0, { "heave logger: OFF", "p2x logger: OFF", "database: connected" }, &answer))
        << answer.out;
    struct stat socketFile {};
    ASSERT_EQ(::lstat(SocketPath().c_str(), &socketFile), 0);
    EXPECT_TRUE(S_ISSOCK(socketFile.st_mode));
    EXPECT_EQ(socketFile.st_mode & 0777, 0660u);
    EXPECT_NE(ProcessLogText().find("Status socket: listening on " + SocketPath().string()), std::string::npos);
    EXPECT_TRUE(WaitForStatusLine({ "heave: OFF | p2x: OFF | database: connected" }));

    // The metrics file is rewritten while a reader reads it again and again:
    // every read is a whole file.
    std::atomic<bool> reading { true };
    std::atomic<int> reads { 0 };
    std::atomic<int> partial { 0 };
    std::thread reader([&] {
        while (reading) {
            std::ifstream in(MetricsPath());
            if (in) {
                std::stringstream text;
                text << in.rdbuf();
                ++reads;
                partial += ParsedMetrics(text.str()).empty() ? 1 : 0;
            }
        }
    });

    Send("$ZELIX,170,C:\\survey\\status,heave__TOKEPOCSEC_.qhv,30,\n\r");
    HeaveFeed feed;
    const fs::path file = OnDriveC("survey/status/heave_1764950529.qhv");
    ASSERT_TRUE(WaitForStatus(0, { "heave logger: ON ", "heave_1764950529.qhv" }, &answer)) << answer.out;
    std::string line;
    EXPECT_TRUE(WaitForStatusLine({ "heave: ON ", "/s, ", " records, heave_1764950529.qhv | p2x: OFF" }, &line))
        << line;

    const QJsonObject json = StatusJson();
    const QJsonObject heave = json["heave"].toObject();
    EXPECT_EQ(json["verdict"].toInt(-1), 0);
    EXPECT_EQ(heave["state"].toString().toStdString(), "flowing");
    EXPECT_EQ(heave["port"].toInt(), 31102);
    EXPECT_EQ(heave["file"].toString().toStdString(), file.string());
    EXPECT_GT(heave["written"].toDouble(), 0);
    // 2 + 13 bytes a record; records still coming in may have their bytes counted already.
    const double bytesWritten = heave["bytes_written"].toDouble();
    EXPECT_GE(bytesWritten, 15 * heave["written"].toDouble());
    EXPECT_EQ(std::fmod(bytesWritten, 15), 0) << bytesWritten;
    EXPECT_LE(heave["file_bytes"].toDouble(), static_cast<double>(fs::file_size(file)));
    EXPECT_LT(heave["last_datagram_age"].toDouble(), 3.0);
    EXPECT_EQ(json["p2x"].toObject()["state"].toString().toStdString(), "off");

    // Each reason of a drop is counted: no sensor datagram, a 13-byte datagram
    // while 52-byte ones arrive, a sender outside QHV_SENSOR_FROM.
    std::string twentySix = processtest::SequencedHeave(0);
    twentySix[1] = 'S';
    twentySix.resize(52, '\0');
    m_control.SendTo(31102, "no sensor datagram");
    m_control.SendTo(31102, twentySix);
    UdpSocket stranger(0, INADDR_LOOPBACK + 1);  // 127.0.0.2
    stranger.SendTo(31102, processtest::SequencedHeave(0));
    QJsonObject dropped;
    EXPECT_TRUE(WaitFor([&] {
        dropped = StatusJson()["heave"].toObject()["dropped"].toObject();
        return dropped["classification"].toDouble() >= 1 && dropped["twenty_six_mode"].toDouble() >= 1 &&
               dropped["allow_list"].toDouble() >= 1;
    })) << QJsonDocument(dropped).toJson().toStdString();
    EXPECT_EQ(dropped["queue_bound"].toDouble(), 0);

    // A client that says nothing is let go after a second; the others are answered meanwhile.
    const int silent = ConnectTo(SocketPath());
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(Qhvctl({}).exitCode, 0);
    EXPECT_EQ(ReadToEnd(silent).rfind("error: ", 0), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    ::close(silent);
    const int talkative = ConnectTo(SocketPath());
    const std::string flood(4096, 's');
    ::send(talkative, flood.data(), flood.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ReadToEnd(talkative).rfind("error: ", 0), 0u);
    ::close(talkative);

    // Counters only grow from one metrics file to the next; each is a new file
    // put in the place of the old one, not the old one written over.
    const auto inode = [&] {
        struct stat metrics {};
        return ::stat(MetricsPath().c_str(), &metrics) == 0 ? metrics.st_ino : 0;
    };
    std::map<std::string, double> first;
    ino_t firstFile = 0;
    ASSERT_TRUE(WaitFor([&] {
        firstFile = inode();
        first = ParsedMetrics(testsupport::ReadFile(MetricsPath()));
        return first["qhvlogger_datagrams_written_total{logger=\"heave\"}"] > 0 && firstFile == inode();
    }, 20s));
    std::map<std::string, double> second;
    ASSERT_TRUE(WaitFor([&] {
        const std::string text = testsupport::ReadFile(MetricsPath());
        const bool replaced = inode() != firstFile;  // looked at after the read
        second = ParsedMetrics(text);
        EXPECT_TRUE(replaced || second == first);
        return second["qhvlogger_datagrams_written_total{logger=\"heave\"}"] >
               first["qhvlogger_datagrams_written_total{logger=\"heave\"}"];
    }, 25s));
    for (const auto& [name, value] : first) {
        if (name.find("_total{") != std::string::npos) {
            EXPECT_GE(second[name], value) << name;
        }
    }
    EXPECT_EQ(second["qhvlogger_logging_on{logger=\"heave\"}"], 1);
    EXPECT_EQ(second["qhvlogger_logging_on{logger=\"p2x\"}"], 0);
    EXPECT_EQ(second["qhvlogger_database_up"], 1);
    EXPECT_EQ(second.count("qhvlogger_datagrams_dropped_total{logger=\"heave\",reason=\"queue_bound\"}"), 1u);
    EXPECT_EQ(second.count("qhvlogger_queue_length{logger=\"heave\"}"), 1u);
    EXPECT_GE(second["qhvlogger_bytes_written_total{logger=\"heave\"}"],
              15 * second["qhvlogger_datagrams_written_total{logger=\"heave\"}"]);
    reading = false;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(partial.load(), 0) << "of " << reads.load() << " reads";

    // The sensor falls silent: stalled after the maximum wait.
    feed.Stop();
    ASSERT_TRUE(WaitForStatus(1, { "heave logger: ON, stalled" }, &answer)) << answer.out;
    EXPECT_TRUE(WaitForStatusLine({ "heave: ON, stalled: no data for " }, &line)) << line;
    EXPECT_EQ(StatusJson()["verdict"].toInt(-1), 1);

    Send("$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
    answer = Qhvctl({});
    EXPECT_EQ(answer.exitCode, 2) << answer.out;
    EXPECT_NE(answer.out.find("cannot reach QHVLogger at " + SocketPath().string()), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(SocketPath())));
}

// A logger without its parameter row, and one whose source port another socket
// holds: exit code 1, and each says why. A live socket at the status path is
// not taken over.
TEST_F(StatusTest, NoDatabaseRowAndNoPortGiveExitOne)
{
    Sql("DELETE FROM qhv_param WHERE logger = 99");  // the heave logger's row
    UdpSocket holder(31202);                          // the P2X logger's port
    auto child = StartLogger();
    ASSERT_TRUE(WaitUntilRunning()) << TraceText();

    Answer answer;
    ASSERT_TRUE(WaitForStatus(1, { "heave logger: no database (parameters not read)", "p2x logger: ON, no port 31202",
                                   "port:            none (source port 31202)" },
                              &answer))
        << answer.out;
    std::string line;
    EXPECT_TRUE(WaitForStatusLine({ "heave: no database (parameters not read) | p2x: ON, no port 31202" }, &line))
        << line;
    const QJsonObject json = StatusJson();
    EXPECT_EQ(json["verdict"].toInt(-1), 1);
    EXPECT_EQ(json["heave"].toObject()["database_errors"].toDouble(), 1);
    EXPECT_EQ(json["p2x"].toObject()["state"].toString().toStdString(), "no_port");
    EXPECT_NE(json["p2x"].toObject()["last_error"].toString().toStdString().find("31202"), std::string::npos);

    Send("$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
    EXPECT_EQ(Qhvctl({ "--json" }).exitCode, 2);

    // A second process finds a live socket at the path and leaves it alone.
    const int live = UnixSocketAt(SocketPath(), true);
    child = StartLogger();
    ASSERT_TRUE(WaitUntilRunning()) << TraceText();
    EXPECT_TRUE(WaitFor([&] {
        return ProcessLogText().find("Status socket: another process answers on " + SocketPath().string()) !=
               std::string::npos;
    })) << ProcessLogText();
    // Its control port may not be open yet: the stop is sent until it ends.
    EXPECT_TRUE(WaitFor([&] {
        Send("$ZELIX,24,\n\r");
        return !child->Running();
    }, 30s));
    EXPECT_TRUE(fs::exists(fs::symlink_status(SocketPath())));  // still the test's
    ::close(live);
}

// The database is locked while heave data flow: the data are still written,
// and the status says the database does not answer (exit code 1).
TEST_F(StatusTest, ADatabaseThatDoesNotAnswerGivesExitOne)
{
    auto child = StartLogger();
    ASSERT_TRUE(WaitUntilRunning()) << TraceText();
    Send("$ZELIX,174,\n\r");
    Send("$ZELIX,170,C:\\survey\\locked,heave.qhv,30,\n\r");
    HeaveFeed feed;
    Answer answer;
    ASSERT_TRUE(WaitForStatus(0, { "heave logger: ON ", "p2x logger: OFF", "database: connected" }, &answer))
        << answer.out;

    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open(DatabaseFile().c_str(), &locker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(WaitForStatus(1, { "heave logger: ON ", "database: unavailable" }, &answer, 60s)) << answer.out;
    EXPECT_TRUE(WaitForStatusLine({ "| database: unavailable" }));
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);

    feed.Stop();
    Send("$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}
