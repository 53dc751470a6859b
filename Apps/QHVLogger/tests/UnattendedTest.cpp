// The real program as it runs unattended as a service on a vessel: a database
// server that comes up after the workstation or does not answer, a stop at any
// moment, a step of the system time.
#include "LoggerRig.h"
#include "ProcessFixture.h"
#include "testsupport/NotifySocket.h"
#include "testsupport/PostgresCluster.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using loggertest::FilesIn;
using loggertest::QhvRecords;
using processtest::EndedWithZero;
using processtest::HeaveFeed;
using processtest::ProcessFixture;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;
namespace fs = std::filesystem;

namespace {

class Unattended : public ProcessFixture {
protected:
    std::unique_ptr<ChildProcess> StartOn(const testsupport::PostgresCluster& cluster)
    {
        const std::string odbc = cluster.OdbcFolder().string();
        return std::make_unique<ChildProcess>(
            processtest::Binary, std::vector<std::string> { "-debug", "31", "-noconsole" },
            std::vector<std::string> { "ProgramData=C:\\ProgramData", "ODBCSYSINI=" + odbc,
                                       "ODBCINI=" + odbc + "/odbc.ini" });
    }
};

}  // namespace

// The database server comes up 8 s after the process: the process waits for
// it, says so, and logs as soon as it is there, with nobody acting.
TEST_F(Unattended, LogsOnceTheDatabaseComesUpAfterTheProcess)
{
    testsupport::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Started());
    ASSERT_TRUE(cluster.Run("halt"));
    auto child = StartOn(cluster);
    ASSERT_TRUE(WaitFor([&] {
        return ProcessLogText().find("Waiting for the system database NTRXDB: attempt 2 failed") != std::string::npos;
    })) << ProcessLogText();
    std::this_thread::sleep_for(std::chrono::seconds(8) - std::chrono::seconds(3));  // down for about 8 s in all
    ASSERT_TRUE(cluster.Run("resume"));

    const auto start = std::chrono::steady_clock::now();
    UdpSocket sender;
    bool logging = WaitFor([&] {
        sender.SendTo(5076, "$ZELIX,170,C:\\survey\\late,heave.qhv,30,\n\r");
        for (int i = 0; i < 5; ++i) {
            sender.SendTo(31102, processtest::SequencedHeave(0));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return !FilesIn(OnDriveC("survey/late")).empty() && !QhvRecords(FilesIn(OnDriveC("survey/late"))[0]).empty();
    }, std::chrono::seconds(60));
    EXPECT_TRUE(logging) << ProcessLogText();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(TraceText().find("DATABASE INFO: ver. "), std::string::npos);

    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}

// A stop while start-up waits on a database that takes connections and never
// answers ends the process with exit code 0, well within the service manager's
// stop time-out, and the process log says "Terminated!".
TEST_F(Unattended, AStopWhileTheDatabaseDoesNotAnswerEndsTheProcess)
{
    testsupport::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Started());
    cluster.Freeze(true);
    auto child = StartOn(cluster);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto stop = std::chrono::steady_clock::now();
    child->Signal(SIGTERM);
    EXPECT_TRUE(EndedWithZero(child->Ended(std::chrono::seconds(30))));
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(25));
    EXPECT_EQ(child->Out(), "\nQHV: Cleaning up after termination by OP system.\n");
    EXPECT_NE(ProcessLogText().find("Terminated!|\n"), std::string::npos) << ProcessLogText();
    cluster.Freeze(false);
}

// The same when the database stops answering right after the process has
// connected: the supervisor's start job then waits on it, and the stop still
// ends the process in time.
TEST_F(Unattended, AStopWhileAJobWaitsOnTheDatabaseEndsTheProcess)
{
    testsupport::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Started());
    auto child = StartOn(cluster);
    ASSERT_TRUE(WaitFor([&] { return TraceText().find("DATABASE INFO: ver. ") != std::string::npos; },
                        std::chrono::seconds(20)));
    cluster.Freeze(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto stop = std::chrono::steady_clock::now();
    child->Signal(SIGTERM);
    EXPECT_TRUE(EndedWithZero(child->Ended(std::chrono::seconds(30))));
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(25));
    EXPECT_NE(ProcessLogText().find("Terminated!|\n"), std::string::npos) << ProcessLogText();
    cluster.Freeze(false);
}

// The rate supervision measures elapsed time. A step of the system time either
// way neither ends a window early (a false low-rate warning while data flow
// at full rate) nor stops the supervision for the length of the step (no
// warning when the data stop).
TEST_F(Unattended, AClockStepNeitherRaisesAFalseLowRateNorSilencesTheSupervision)
{
    // Windows of 2 s one after the other, 10 Hz expected, warned below 80 %.
    const std::string sql = "UPDATE integer_values SET value = 2 WHERE id = 2104;"
                            "UPDATE integer_values SET value = 0 WHERE id = 2107;";
    ASSERT_EQ(std::system(("sqlite3 " + testsupport::ShellQuoted(DatabaseFile().string()) + " " +
                           testsupport::ShellQuoted(sql)).c_str()),
              0);
    const fs::path step = OnDriveC("clock-step");
    testsupport::WriteFile(step, "0");
    // An AddressSanitizer build wants its run-time first among the libraries
    // loaded; the preloaded clock is harmless before it.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions =
        "ASAN_OPTIONS=" + std::string(sanitizer != nullptr ? sanitizer : "") + ":verify_asan_link_order=0";
    ChildProcess child(processtest::Binary, { "-debug", "31", "-noconsole" },
                       { "ProgramData=C:\\ProgramData", std::string("LD_PRELOAD=") + CLOCKSTEP_LIBRARY,
                         "QHV_CLOCK_STEP_FILE=" + step.string(), asanOptions });
    ASSERT_TRUE(WaitUntilRunning());
    UdpSocket sender;
    // About 12 Hz: 24 a window, where 16 are enough. A window ended early,
    // less than 1.3 s into its 2 s, would count too few.
    auto feed = std::make_unique<HeaveFeed>(std::chrono::milliseconds(80));
    sender.SendTo(5076, "$ZELIX,170,C:\\survey\\clock,heave.qhv,30,\n\r");
    ASSERT_TRUE(WaitFor([&] { return !FilesIn(OnDriveC("survey/clock")).empty(); }));
    const std::string warning = "Warning: Frequency of received QHV";
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_EQ(TraceCount(warning), 0u) << "no warning at full rate";

    for (int minutes = 10; minutes <= 50; minutes += 10) {  // five steps of 10 minutes forward
        testsupport::WriteFile(step, std::to_string(minutes * 60));
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(TraceCount(warning), 0u) << "a step ended a window early";

    testsupport::WriteFile(step, "-3600");  // an hour and a half back
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::size_t before = TraceCount(warning);
    feed.reset();  // the sensor falls silent
    EXPECT_TRUE(WaitFor([&] { return TraceCount(warning) > before; }, std::chrono::seconds(10)))
        << "no warning after the step back";

    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child.Ended()));
}

// After a crash, a kill -9 or a watchdog kill, the next start resumes each
// logger that was on, with its folder, template, interval and port, and says
// so; after a regular end (sentence 24) nothing is resumed, and neither is a
// logger switched off before the end.
TEST_F(Unattended, ResumesLoggingAfterAnAbnormalEndOnly)
{
    UdpSocket sender;
    const auto start = [&] {
        auto child = std::make_unique<ChildProcess>(processtest::Binary,
                                                    std::vector<std::string> { "-debug", "31", "-noconsole" },
                                                    std::vector<std::string> { "ProgramData=C:\\ProgramData" });
        EXPECT_TRUE(WaitUntilRunning());
        return child;
    };
    const auto heaveRecords = [&](const std::string& folder) {
        std::size_t count = 0;
        for (const fs::path& file : FilesIn(OnDriveC(folder))) {
            count += QhvRecords(file).size();
        }
        return count;
    };
    const auto feedUntil = [&](const std::function<bool()>& done) {
        return WaitFor([&] {
            sender.SendTo(5601, processtest::SequencedHeave(0));
            sender.SendTo(5602, "$PQRV,25,1,abc*00\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return done();
        });
    };

    auto child = start();
    sender.SendTo(5076, "$ZELIX,170,C:\\survey\\resumed,heave.qhv,30,5601\n\r");
    sender.SendTo(5076, "$ZELIX,173,C:\\survey\\resumed-p2x,p2x__TOKS_.p2x,30,5602\n\r");
    ASSERT_TRUE(feedUntil([&] {
        return heaveRecords("survey/resumed") > 0 && !FilesIn(OnDriveC("survey/resumed-p2x")).empty();
    }));
    child->Signal(SIGKILL);
    child->Ended();

    fs::remove(TraceLog());
    child = start();
    const std::size_t before = heaveRecords("survey/resumed");
    const std::size_t p2xBefore = FilesIn(OnDriveC("survey/resumed-p2x")).size();
    EXPECT_TRUE(feedUntil([&] {
        return heaveRecords("survey/resumed") > before && FilesIn(OnDriveC("survey/resumed-p2x")).size() > p2xBefore;
    })) << "both loggers resumed on their folders and ports, without a command";
    EXPECT_NE(TraceText().find("Resuming heave logging after an abnormal end of the process: "
                               "$ZELIX,170,C:\\survey\\resumed,heave.qhv,30,5601"),
              std::string::npos);
    EXPECT_NE(ProcessLogText().find("heave logging resumed after an abnormal end: C:\\survey\\resumed\\heave.qhv"),
              std::string::npos);
    EXPECT_NE(ProcessLogText().find("P2X logging resumed after an abnormal end: C:\\survey\\resumed-p2x\\"),
              std::string::npos);

    // Heave off (its OFF status follows the switch), then killed again: only P2X is resumed.
    {
        loggertest::StatusListener status;
        sender.SendTo(5076, "$ZELIX,171,\n\r");
        ASSERT_TRUE(WaitFor([&] {
            const auto sentences = status.Sentences();
            return std::find(sentences.begin(), sentences.end(), "$ZELIX,172,OFF\n\r") != sentences.end();
        }));
    }
    child->Signal(SIGKILL);
    child->Ended();
    fs::remove(TraceLog());
    child = start();
    ASSERT_TRUE(WaitFor([&] { return TraceCount("Resuming P2X logging") == 1; }));
    EXPECT_EQ(TraceCount("Resuming heave logging"), 0u);

    // A regular end: the next start resumes nothing.
    sender.SendTo(5076, "$ZELIX,24,\n\r");
    ASSERT_TRUE(EndedWithZero(child->Ended()));
    fs::remove(TraceLog());
    child = start();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(TraceText().find("Resuming"), std::string::npos) << TraceText();
    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}

// Under a service manager the watchdog's sign of life is given only while
// every machine answers: a logger stuck in a database call that does not come
// back (a server that takes the connection and never answers) stops it, so the
// service manager would kill and restart the process; once the call returns,
// it goes on.
TEST_F(Unattended, ALoggerStuckInADatabaseCallStopsTheWatchdog)
{
    testsupport::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Started());
    servicetest::NotifySocket notify(OnDriveC(""));
    const std::string odbc = cluster.OdbcFolder().string();
    ChildProcess child(processtest::Binary, { "-debug", "31", "-noconsole" },
                       { "ProgramData=C:\\ProgramData", "ODBCSYSINI=" + odbc, "ODBCINI=" + odbc + "/odbc.ini",
                         "NOTIFY_SOCKET=" + notify.Path(), "WATCHDOG_USEC=2000000",
                         "QHV_LOG_ROOTS=" + OnDriveC("survey").string() });
    ASSERT_TRUE(notify.WaitFor("READY=1"));
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", 3)) << "a sign of life about every 0.9 s";

    // The heave logger reports a refused folder to the database, which no longer answers.
    cluster.Freeze(true);
    UdpSocket sender;
    sender.SendTo(5076, "$ZELIX,170,C:\\elsewhere,heave.qhv,30,\n\r");
    const std::string silent = "Warn: The heave logger has not answered for 900 ms; no sign of life";
    EXPECT_TRUE(WaitFor([&] {
        sender.SendTo(31102, processtest::SequencedHeave(0));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return TraceCount(silent) > 0;
    }));
    const std::size_t signs = notify.Count("WATCHDOG=1");
    EXPECT_TRUE(WaitFor([&] { return TraceCount(silent) >= 3; }));
    EXPECT_EQ(notify.Count("WATCHDOG=1"), signs) << "no sign of life while the logger is stuck";
    EXPECT_EQ(TraceCount("Warn: The P2X logger has not answered"), 0u) << "the other logger answers";
    EXPECT_NE(ProcessLogText().find("The heave logger has not answered"), std::string::npos);

    cluster.Freeze(false);
    EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", signs + 2)) << "signs of life again once the call returned";
    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child.Ended()));
}

// A logging command that moves the heave logger to a port it cannot bind (held
// by another program) keeps it on its port, and the sensor's datagrams there
// go on into the file without a gap; a move it can make takes it there.
TEST_F(Unattended, APortMoveThatCannotBindKeepsTheOldPortAndLosesNothing)
{
    ChildProcess child(processtest::Binary, { "-debug", "31", "-noconsole" }, { "ProgramData=C:\\ProgramData" });
    ASSERT_TRUE(WaitUntilRunning());
    UdpSocket sender;
    UdpSocket holder;  // without reuse-address: nobody else binds its port
    auto feed = std::make_unique<HeaveFeed>();
    sender.SendTo(5076, "$ZELIX,170,C:\\survey\\moves,heave.qhv,30,\n\r");
    ASSERT_TRUE(WaitFor([&] { return !FilesIn(OnDriveC("survey/moves")).empty(); }));
    sender.SendTo(5076, "$ZELIX,170,C:\\survey\\moves,heave.qhv,30," + std::to_string(holder.Port()) + "\n\r");
    ASSERT_TRUE(WaitFor([&] { return TraceText().find("bind to input port " + std::to_string(holder.Port())) !=
                                     std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::uint32_t sent = feed->Stop();

    std::set<std::uint32_t> written;
    EXPECT_TRUE(WaitFor([&] {
        written.clear();
        for (const fs::path& file : FilesIn(OnDriveC("survey/moves"))) {
            for (const std::string& record : QhvRecords(file)) {
                std::uint32_t sequence = 0;
                for (int i = 0; i < 4; ++i) {
                    sequence = sequence << 8 | static_cast<unsigned char>(record[6 + i]);
                }
                written.insert(sequence);
            }
        }
        return !written.empty() && *written.rbegin() == sent - 1;
    })) << "the datagrams after the failed move did not arrive";
    EXPECT_EQ(written.size(), sent - *written.begin()) << "datagrams lost between the first and the last";

    // A port it can bind: the logger moves there.
    const std::uint16_t free = testsupport::FreeUdpPort();
    sender.SendTo(5076, "$ZELIX,170,C:\\survey\\moved,heave.qhv,30," + std::to_string(free) + "\n\r");
    EXPECT_TRUE(WaitFor([&] {
        sender.SendTo(free, processtest::SequencedHeave(0));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return !FilesIn(OnDriveC("survey/moved")).empty();
    }));
    sender.SendTo(5076, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child.Ended()));
}
