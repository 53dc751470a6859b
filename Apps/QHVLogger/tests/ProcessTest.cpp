// Runs the real program: texts on the standard streams, the process log, the
// console signals and the exit codes.
#include "CommandLineTexts.h"
#include "ProcessFixture.h"
#include "testsupport/ChildProcess.h"
#include "LoggerRig.h"
#include "testsupport/DemoDatabase.h"
#include "testsupport/PostgresCluster.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using processtest::Binary;
using processtest::EndedWithZero;
using processtest::HeaveFeed;
using processtest::ProcessFixture;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;
using loggertest::FilesIn;
using loggertest::QhvRecords;
namespace fs = std::filesystem;

namespace {

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


// The whole process on a PostgreSQL system database whose server is halted and
// started again under it: heave logging goes on without losing a datagram, a
// message due meanwhile is kept with its text in the dump file, and once the
// server is back the connection is made again and messages are recorded there.
TEST_F(ProcessFixture, LogsOnWhilePostgresIsHaltedAndRecordsMessagesAgainOnceItIsBack)
{
    testsupport::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Started());
    const std::string odbc = cluster.OdbcFolder().string();
    ChildProcess child(Binary, { "-debug", "31", "-noconsole" },
                       { "ProgramData=C:\\ProgramData", "ODBCSYSINI=" + odbc, "ODBCINI=" + odbc + "/odbc.ini",
                         "QHV_LOG_ROOTS=" + OnDriveC("survey").string() });
    HeaveFeed feed;
    UdpSocket sender;
    ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(TraceLog()).find("JobPrepLogging") != std::string::npos; },
                        std::chrono::seconds(20)));
    sender.SendTo(5076, "$ZELIX,170,C:\\survey\\qhv,process.qhv,30,\n\r");
    const auto heaveSequences = [&] {
        std::set<std::uint32_t> sequences;
        for (const fs::path& file : FilesIn(OnDriveC("survey/qhv"))) {
            for (const std::string& record : QhvRecords(file)) {
                std::uint32_t sequence = 0;
                for (int i = 0; i < 4 && record.size() == 13; ++i) {
                    sequence = sequence << 8 | static_cast<unsigned char>(record[6 + i]);
                }
                sequences.insert(sequence);
            }
        }
        return sequences;
    };
    ASSERT_TRUE(WaitFor([&] { return !heaveSequences().empty(); }));

    // $PQRV sentences to the P2X logger until `done`.
    const auto feedP2xUntil = [&](const std::function<bool()>& done, std::chrono::seconds bound) {
        return WaitFor([&] {
            sender.SendTo(31202, "$PQRV,25,1,abc*00\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return done();
        }, bound);
    };
    // A P2X log folder outside QHV_LOG_ROOTS is refused: message 1440 with the
    // path. Only the first failure of a run is reported, so each round opens an
    // allowed file first, then names the refused folder; rounds until `seen`.
    const auto refuseP2xFolderUntil = [&](const std::string& folder, const std::function<bool()>& seen) {
        for (int round = 0; round < 20; ++round) {
            const std::string allowed = folder + "_" + std::to_string(round) + ".p2x";
            sender.SendTo(5076, "$ZELIX,173,C:\\survey\\p2x," + allowed + ",30,\n\r");
            if (!feedP2xUntil([&] { return fs::exists(OnDriveC("survey/p2x/" + allowed)); }, std::chrono::seconds(10))) {
                return false;
            }
            sender.SendTo(5076, "$ZELIX,173,C:\\" + folder + ",p2x.p2x,30,\n\r");
            if (feedP2xUntil(seen, std::chrono::seconds(2))) {
                return true;
            }
        }
        return false;
    };
    const auto recorded = [&](const std::string& folder) {
        return [&cluster, folder] {
            return cluster.Query("SELECT mess FROM arrivedMessagesString")
                       .find("C:\\" + folder + "\\p2x.p2x") != std::string::npos;
        };
    };
    const auto dumped = [&](const std::string& folder) {
        return [this, folder] {
            std::string dumps;
            for (const fs::path& file : FilesIn(OnDriveC("Temp"))) {
                dumps += file.filename().string().rfind("db_P2XLogger_", 0) == 0 ? testsupport::ReadFile(file) : "";
            }
            return dumps.find("not recorded: P2X-logger: kan ikke apne loggfil C:\\" + folder + "\\p2x.p2x") !=
                   std::string::npos;
        };
    };
    ASSERT_TRUE(refuseP2xFolderUntil("before", recorded("before")));

    ASSERT_TRUE(cluster.Run("halt"));
    EXPECT_TRUE(refuseP2xFolderUntil("during", dumped("during")));
    ASSERT_TRUE(cluster.Run("resume"));
    EXPECT_TRUE(refuseP2xFolderUntil("after", recorded("after")));

    // Every datagram from the first one written to the last one sent is in the files.
    const std::uint32_t sent = feed.Stop();
    std::set<std::uint32_t> written;
    EXPECT_TRUE(WaitFor([&] {
        written = heaveSequences();
        return !written.empty() && *written.rbegin() == sent - 1;
    }));
    EXPECT_EQ(written.size(), sent - *written.begin()) << "datagrams lost between the first and the last";
    EXPECT_GT(written.size(), 200u) << "the feed ran through the outage";

    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child.Ended()));
}

// Each command through the control port reaches its own logger and moves or
// stops only that one: a 170 while logging moves the heave data port, a 174
// stops the P2X logger and not the heave logger, and a 171 leaves the heave
// logger waiting for the next 170, so that a second 171 is disregarded.
TEST_F(ProcessFixture, EachCommandStopsOrMovesOnlyItsOwnLogger)
{
    UdpSocket status(4002);
    UdpSocket sender;
    std::vector<std::string> statuses;
    const auto statusCount = [&](const std::string& sentence) {
        while (const std::optional<std::string> received = status.Receive(std::chrono::milliseconds(0))) {
            statuses.push_back(*received);
        }
        return static_cast<std::size_t>(std::count(statuses.begin(), statuses.end(), sentence));
    };
    // A heave datagram of the time `epoch`, told apart by it.
    const auto heaveAt = [](std::uint32_t epoch) {
        std::string datagram = processtest::SequencedHeave(epoch);
        std::copy(datagram.begin() + 6, datagram.begin() + 10, datagram.begin() + 2);
        return datagram;
    };
    const auto logged = [&](std::uint32_t epoch) {
        for (const fs::path& file : FilesIn(OnDriveC("survey/qhv"))) {
            const std::vector<std::string> records = QhvRecords(file);
            if (std::find(records.begin(), records.end(), heaveAt(epoch)) != records.end()) {
                return true;
            }
        }
        return false;
    };
    // Heave datagrams the heave logger took while logging was off: one dispatch
    // line each that stays in WAIT_LOGGING.
    const auto takenWhileOff = [&] {
        std::istringstream trace(TraceText());
        std::size_t count = 0;
        for (std::string line; std::getline(trace, line);) {
            count += line.find("S: ORVANTA_QHV ") != std::string::npos &&
                     line.find("WAIT_LOGGING    --> WAIT_LOGGING") != std::string::npos;
        }
        return count;
    };
    // Sent again until it is in a file: the port may still be on its way.
    const auto sendUntilLogged = [&](std::uint16_t port, std::uint32_t epoch) {
        return WaitFor([&] { return sender.SendTo(port, heaveAt(epoch)) && logged(epoch); });
    };
    const std::string heaveCommand = "$ZELIX,170,C:\\survey\\qhv,heave__TOKEPOCSEC_.qhv,30,";
    const std::string heaveOn = "$ZELIX,172,ON\n\r";
    const std::string heaveOff = "$ZELIX,172,OFF\n\r";

    auto child = Start({ "-debug", "31", "-noconsole" });
    ASSERT_TRUE(WaitUntilRunning());
    const std::uint16_t first = testsupport::FreeUdpPort();
    sender.SendTo(5076, heaveCommand + std::to_string(first) + "\n\r");
    ASSERT_TRUE(sendUntilLogged(first, 1765000001));
    sender.SendTo(31202, "$PQRV,25,1,abc*00\r\n");
    ASSERT_TRUE(WaitFor([&] { return statusCount("$ZELIX,175,ON\n\r") > 0; }));

    // A new port while logging: the new one logs, the old one is closed.
    const std::uint16_t moved = testsupport::FreeUdpPort();
    sender.SendTo(5076, heaveCommand + std::to_string(moved) + "\n\r");
    ASSERT_TRUE(WaitFor([&] { return TraceCount("Job: JobNewFile") == 1; }));
    ASSERT_TRUE(sendUntilLogged(moved, 1765000003)) << "nothing arrives at the port the 170 names";
    sender.SendTo(first, heaveAt(1765000002));
    EXPECT_TRUE(sendUntilLogged(moved, 1765000013));
    EXPECT_FALSE(logged(1765000002)) << "the old port still logs";

    // 174 stops the P2X logger only: OFF, and no file for a changed sentence,
    // while heave datagrams go on into the heave file.
    sender.SendTo(5076, "$ZELIX,174,\n\r");
    EXPECT_TRUE(WaitFor([&] { return statusCount("$ZELIX,175,OFF\n\r") == 1; })) << "the P2X logger did not stop";
    sender.SendTo(31202, "$PQRV,25,1,changed*00\r\n");
    // Sent once (the port is bound), so no copy of it is left to come after the 171 below.
    EXPECT_TRUE(sender.SendTo(moved, heaveAt(1765000004)) && WaitFor([&] { return logged(1765000004); }))
        << "the heave logger stopped";
    EXPECT_EQ(statusCount(heaveOff), 0u);
    EXPECT_EQ(FilesIn(OnDriveC("survey/p2x")).size(), 1u);

    // 171 stops heave logging; a second 171 sends no second OFF, and the
    // next 170 starts logging again.
    sender.SendTo(5076, "$ZELIX,171,\n\r");
    ASSERT_TRUE(WaitFor([&] { return statusCount(heaveOff) == 1; }));
    EXPECT_EQ(TraceCount("S: ZELIX_171         St:  ACTIVE_LOGGING  --> WAIT_LOGGING"), 1u);
    // The datagram sent while off must reach the logger before the commands
    // that follow it through the supervisor: nothing orders two sockets.
    const std::size_t takenBefore = takenWhileOff();
    sender.SendTo(moved, heaveAt(1765000005));
    ASSERT_TRUE(WaitFor([&] { return takenWhileOff() > takenBefore; }));
    sender.SendTo(5076, "$ZELIX,171,\n\r");
    const std::size_t ons = statusCount(heaveOn);
    sender.SendTo(5076, heaveCommand + std::to_string(moved) + "\n\r");
    EXPECT_TRUE(sendUntilLogged(moved, 1765000006));
    ASSERT_TRUE(WaitFor([&] { return statusCount(heaveOn) > ons; }));
    EXPECT_EQ(statusCount(heaveOff), 1u) << "the second 171 met a logger still logging";
    EXPECT_FALSE(logged(1765000005));

    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}
