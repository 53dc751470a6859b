// What a person reads of the real program: the process log's lines of files
// opened and closed at debug mask 0 (checked against the files themselves),
// status changes and operator messages, "qhvctl messages" over the demo
// database the process wrote to, and --help / -h.
#include "LoggerRig.h"
#include "ProcessFixture.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

using processtest::EndedWithZero;
using processtest::Occurrences;
using processtest::ProcessFixture;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;
namespace fs = std::filesystem;

namespace {

// A 13-byte heave datagram of time `epoch`.
std::string Heave(std::uint32_t epoch, std::uint32_t sequence)
{
    std::string datagram = processtest::SequencedHeave(sequence);
    for (int i = 0; i < 4; ++i) {
        datagram[2 + i] = static_cast<char>(epoch >> (24 - 8 * i));
    }
    return datagram;
}

// The process log's file lines: each path opened, and each close with its counts.
struct FileLines {
    std::vector<std::string> opened;
    struct Closed {
        std::string path;
        std::size_t records;
        std::uintmax_t bytes;
    };
    std::vector<Closed> closed;
};

FileLines FileLinesOf(const std::string& log)
{
    FileLines lines;
    static const std::regex opened(R"((Heave|P2X) file opened: ([^|]+)\|)");
    static const std::regex closed(R"((Heave|P2X) file closed: ([^|]+), (\d+) (?:records?|lines?), (\d+) bytes?\|)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), opened); it != std::sregex_iterator(); ++it) {
        lines.opened.push_back((*it)[2]);
    }
    for (auto it = std::sregex_iterator(log.begin(), log.end(), closed); it != std::sregex_iterator(); ++it) {
        lines.closed.push_back({ (*it)[2], std::stoul((*it)[3]), std::stoull((*it)[4]) });
    }
    return lines;
}

// Records of a log file: length-prefixed datagrams of a .qhv, lines of a .p2x.
std::size_t RecordsIn(const fs::path& file)
{
    if (file.extension() == ".qhv") {
        return loggertest::QhvRecords(file).size();
    }
    return Occurrences(testsupport::ReadFile(file), "\n");
}

class Console : public ProcessFixture {
protected:
    // Started at debug mask 0 (no trace object), both loggers past reading their parameters.
    std::unique_ptr<ChildProcess> StartQuiet()
    {
        auto child = Start({});
        EXPECT_TRUE(WaitForLog("P2X logging switched on: C:\\survey\\p2x\\", 1)) << ProcessLogText();
        return child;
    }
    bool WaitForLog(const std::string& text, std::size_t times) const
    {
        return WaitFor([&] { return Occurrences(ProcessLogText(), text) >= times; }, std::chrono::seconds(20));
    }
    void Send(std::uint16_t port, const std::string& bytes) { m_sender.SendTo(port, bytes); }
    void Command(const std::string& sentence) { Send(5076, sentence + "\n\r"); }
    // Sends heave datagrams of `epoch` until the file holds `count` of them.
    void Fill(std::uint16_t port, std::uint32_t epoch, std::size_t count, const fs::path& file)
    {
        for (std::uint32_t i = 0; i < count; ++i) {
            Send(port, Heave(epoch, i));
        }
        ASSERT_TRUE(WaitFor([&] { return loggertest::QhvRecords(file).size() == count; })) << file;
    }

    UdpSocket m_sender;
};

std::string Qhvctl(const std::vector<std::string>& arguments, int* exitCode, std::string* errors = nullptr,
                   const std::vector<std::string>& environment = {})
{
    ChildProcess child(QHVCTL_BINARY, arguments, environment);
    const std::optional<int> status = child.Ended();
    *exitCode = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    if (errors != nullptr) {
        *errors = child.Err();
    }
    return child.Out();
}

}  // namespace

// A file closed by a move to another port, by a stop, by a change of sentence
// and at the end of the process: each file opened has one close line, whose
// counts are what the file holds; opened lines name native absolute paths; status
// changes are told once each. All at debug mask 0, where there is no trace.
TEST_F(Console, EveryFileOpenedGetsOneCloseLineWithItsRecordsAtDebugMaskZero)
{
    auto child = StartQuiet();
    const fs::path qhv = OnDriveC("survey");

    Command("$ZELIX,170,C:\\survey\\qhv1,heave__TOKEPOCSEC_.qhv,30,31102");
    ASSERT_TRUE(WaitForLog("Heave logging switched on: C:\\survey\\qhv1\\heave__TOKEPOCSEC_.qhv, 30 min per file, "
                           "data port 31102|", 1)) << ProcessLogText();
    Fill(31102, 1000001, 5, qhv / "qhv1" / "heave_1000001.qhv");
    Command("$ZELIX,170,C:\\survey\\qhv2,heave__TOKEPOCSEC_.qhv,30,31103");  // a move to another port
    ASSERT_TRUE(WaitForLog("data port 31103|", 1)) << ProcessLogText();
    Fill(31103, 1000002, 7, qhv / "qhv2" / "heave_1000002.qhv");
    Command("$ZELIX,171,");
    ASSERT_TRUE(WaitForLog("Heave logging OFF|", 1)) << ProcessLogText();
    Command("$ZELIX,170,C:\\survey\\qhv3,heave__TOKEPOCSEC_.qhv,30,31103");
    ASSERT_TRUE(WaitForLog("Heave logging switched on: C:\\survey\\qhv3", 1)) << ProcessLogText();
    Fill(31103, 1000003, 3, qhv / "qhv3" / "heave_1000003.qhv");

    // P2X: two sentences, a command to another folder, one more, then a
    // change of sentence in a later second (the file names hold the second).
    Command("$ZELIX,173,C:\\survey\\p2xa,p2x__TOKEPOCSEC_.p2x,30,31202");
    ASSERT_TRUE(WaitForLog("P2X logging switched on: C:\\survey\\p2xa", 1)) << ProcessLogText();
    Send(31202, "$PQRV,25,1,a\n");
    Send(31202, "$PQRV,26,1,b\n");
    ASSERT_TRUE(WaitFor([&] {
        const auto files = loggertest::FilesIn(qhv / "p2xa");
        return files.size() == 1 && RecordsIn(files[0]) == 2;
    }));
    Command("$ZELIX,173,C:\\survey\\p2xb,p2x__TOKEPOCSEC_.p2x,30,31202");
    ASSERT_TRUE(WaitForLog("P2X logging switched on: C:\\survey\\p2xb", 1)) << ProcessLogText();
    Send(31202, "$PQRV,27,1,c\n");
    ASSERT_TRUE(WaitForLog("P2X file opened: " + (qhv / "p2xb").string(), 1)) << ProcessLogText();
    const std::time_t opened = std::time(nullptr);
    ASSERT_TRUE(WaitFor([&] { return std::time(nullptr) > opened; }));
    Send(31202, "$PQRV,27,2,c\n");
    ASSERT_TRUE(WaitFor([&] { return loggertest::FilesIn(qhv / "p2xb").size() == 2; }));

    Command("$ZELIX,24,");
    ASSERT_TRUE(EndedWithZero(child->Ended()));

    const std::string log = ProcessLogText();
    const FileLines lines = FileLinesOf(log);
    ASSERT_EQ(lines.opened.size(), 6u) << log;
    ASSERT_EQ(lines.closed.size(), 6u) << log;
    std::map<std::string, int> closes;
    std::size_t heaveRecords = 0;
    for (const FileLines::Closed& closed : lines.closed) {
        ++closes[closed.path];
        EXPECT_EQ(RecordsIn(closed.path), closed.records) << closed.path;
        EXPECT_EQ(fs::file_size(closed.path), closed.bytes) << closed.path;
        if (fs::path(closed.path).extension() == ".qhv") {
            heaveRecords += closed.records;
        }
    }
    EXPECT_EQ(heaveRecords, 15u);
    for (const std::string& path : lines.opened) {
        EXPECT_EQ(closes[path], 1) << path << " in\n" << log;
        EXPECT_TRUE(fs::path(path).is_absolute() && fs::exists(path)) << path;
        EXPECT_EQ(path.find('\\'), std::string::npos) << path;
    }
    // The three heave files with the counts sent to each, in order.
    EXPECT_NE(log.find("Heave file closed: " + (qhv / "qhv1" / "heave_1000001.qhv").string() +
                       ", 5 records, 75 bytes|"), std::string::npos) << log;
    EXPECT_NE(log.find("Heave file closed: " + (qhv / "qhv2" / "heave_1000002.qhv").string() +
                       ", 7 records, 105 bytes|"), std::string::npos) << log;
    EXPECT_NE(log.find("Heave file closed: " + (qhv / "qhv3" / "heave_1000003.qhv").string() +
                       ", 3 records, 45 bytes|"), std::string::npos) << log;
    // Status changes once each, not once per status sentence.
    EXPECT_EQ(Occurrences(log, "Heave logging ON (port 31102)|"), 1u) << log;
    EXPECT_EQ(Occurrences(log, "Heave logging ON (port 31103)|"), 2u) << log;
    EXPECT_EQ(Occurrences(log, "Heave logging OFF|"), 1u) << log;
    EXPECT_EQ(TraceText().find("Data:"), std::string::npos) << "no trace at debug mask 0";
}

// A log path the logger cannot open gives message 1410; it is in the process
// log, and qhvctl messages prints it from the database with the arrivals of
// the past, in the site's language, filtered by --since and --limit.
TEST_F(Console, QhvctlMessagesPrintsWhatTheProcessRecorded)
{
    auto child = StartQuiet();
    testsupport::WriteFile(OnDriveC("blocked"), "a file where a folder should be");
    Command("$ZELIX,170,C:\\blocked\\sub,heave.qhv,30,31102");
    ASSERT_TRUE(WaitForLog("Heave logging switched on: C:\\blocked\\sub", 1)) << ProcessLogText();
    Send(31102, Heave(1000001, 0));
    ASSERT_TRUE(WaitFor([&] { return MessageCount(1410) == 1; }));
    const std::string failure = "QHV-logger: kan ikke apne loggfil C:\\blocked\\sub\\heave.qhv";
    ASSERT_TRUE(WaitForLog("Message 1410: " + failure + "|", 1)) << ProcessLogText();
    Command("$ZELIX,24,");
    ASSERT_TRUE(EndedWithZero(child->Ended()));

    // An arrival of long ago, without a text of its own: 2020-01-01 01:00:00.250 UTC.
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(DatabaseFile().c_str(), &database), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(database,
                           "INSERT INTO arrivedMessages (dateYYYYMMDD, millisecSinceMidnight, number) "
                           "VALUES (20200101, 3600250, 1414)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(database);
    const std::string old = "2020-01-01 01:00:00.250  1414  QHV-logger: ingen hivdata mottatt\n";
    const std::string recent = "  1410  " + failure + "\n";

    int exitCode = -1;
    std::string all = Qhvctl({ "messages", "--utc" }, &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(all.rfind(old, 0), 0u) << "oldest first:\n" << all;
    ASSERT_GE(all.size(), recent.size());
    EXPECT_EQ(all.compare(all.size() - recent.size(), recent.size(), recent), 0) << all;
    EXPECT_EQ(Occurrences(all, "  1410  "), static_cast<std::size_t>(MessageCount(1410))) << all;

    const std::string latest = Qhvctl({ "messages", "--limit=1" }, &exitCode);
    EXPECT_EQ(Occurrences(latest, "\n"), 1u) << latest;
    EXPECT_NE(latest.find(recent), std::string::npos) << latest;

    const std::string lastHour = Qhvctl({ "messages", "--since", "1h" }, &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(lastHour.find("  1414  "), std::string::npos) << lastHour;
    EXPECT_NE(lastHour.find(recent), std::string::npos) << lastHour;
    EXPECT_EQ(Qhvctl({ "messages", "--utc", "--since", "2020-01-01 01:00" }, &exitCode).rfind(old, 0), 0u);
    EXPECT_EQ(Qhvctl({ "messages", "--utc", "--since", "2020-01-01 01:00:01" }, &exitCode).find("  1414  "),
              std::string::npos);
    EXPECT_EQ(Qhvctl({ "messages", "--since", "2999-01-01" }, &exitCode), "");
    EXPECT_EQ(exitCode, 0);

    std::string errors;
    Qhvctl({ "messages", "--since", "yesterday" }, &exitCode, &errors);
    EXPECT_EQ(exitCode, 2) << errors;
    EXPECT_NE(errors.find("--since: \"yesterday\" is neither"), std::string::npos) << errors;

    // No data source: a clear line and exit code 1.
    const fs::path nowhere = OnDriveC("no-odbc");
    fs::create_directories(nowhere);
    EXPECT_EQ(Qhvctl({ "messages" }, &exitCode, &errors,
                     { "ODBCSYSINI=" + nowhere.string(), "ODBCINI=" + (nowhere / "odbc.ini").string() }),
              "");
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(errors.rfind("qhvctl: cannot reach the system database NTRXDB: ", 0), 0u) << errors;
}

// --help and -h print the usage and the help options on standard output and
// end at once with exit code 0, before the process log or the database.
TEST_F(Console, HelpAndHPrintTheUsageAndEndWithZero)
{
    const std::string usage =
        "\nUsage:"
        "\n\t[-name \"QHV process name\" Name of the QHV process]"
        "\n\t[-debug arg               Arg is sum of selected choices:"
        "\n\t                          1=Trans, 2=Sig, 4=Job, 8=Data, 16=Timers, 31=All]"
        "\n\t[-logfile \"file name\"     Use to log to file]"
        "\n\t[-noconsole               Use to turn off logging to console]\n"
        "\t[-help                   Show the usage for debug, then wait for a key]"
        "\n\t[-h, --help              Show this text]\n";
    for (const std::vector<std::string>& arguments :
         { std::vector<std::string> { "--help" }, { "-h" }, { "-debug", "31", "-h" } }) {
        auto child = Start(arguments);
        ASSERT_TRUE(EndedWithZero(child->Ended(std::chrono::seconds(10)))) << arguments.back();
        EXPECT_EQ(child->Out(), usage);
        EXPECT_FALSE(fs::exists(ProcessLog()));
    }
}
