// The heave logger while another connection holds the SQLite system database
// locked: heave datagrams keep arriving over real UDP while a message is due,
// every one of them is written, the job with the message returns within a
// bounded time, and the next message after the lock is recorded.
#include "QHVLogger/QHVControl.h"

#include "LoggerRig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <thread>

using namespace loggertest;
using testsupport::WaitFor;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t Epoch = 1765000000;

// A 13-byte heave datagram of `Epoch` carrying `index` in its data bytes.
std::string Heave(int index)
{
    std::string datagram(13, 'h');
    datagram[0] = static_cast<char>(0xAA);
    datagram[1] = 'R';
    for (int i = 0; i < 4; ++i) {
        datagram[2 + i] = static_cast<char>(Epoch >> (24 - 8 * i));
    }
    datagram[6] = static_cast<char>(index >> 8);
    datagram[7] = static_cast<char>(index);
    return datagram;
}

}  // namespace

TEST(HeaveLoggerDatabaseOutageTest, WritesEveryDatagramWhileTheDatabaseIsLockedAndRecordsTheNextMessage)
{
    const std::uint16_t dataPort = FreeUdpPort();
    StatusListener status;
    Surroundings rig({ { "RUNT_PARAM_QHV_LOG_SOURCE_PORT", dataPort },
                       { "RUNT_PARAM_QHV_DIR", std::string("C:\\survey\\qhv") },
                       { "RUNT_PARAM_QHV_FILE", std::string("heave__TOKEPOCSEC_.qhv") },
                       { "RUNT_PARAM_QHV_INTERVAL_TIME", 30 },
                       { "RUNT_PARAM_QHV_MAX_WAIT_TIME", 20 } });
    CQHVControl logger("QHVLogger", &rig.trace, DEBUG_ALL, rig.Store());
    logger.Start(0);
    PutSentence(logger, "$ZELIX,6,\n\r");
    ASSERT_TRUE(rig.WaitForTrace("JobWaitLogging"));
    PutSentence(logger, "$ZELIX,170,,,,\n\r");
    UdpSocket sender;
    std::vector<std::string> sent { Heave(0) };
    sender.SendTo(dataPort, sent.back());
    const fs::path file = rig.OnDriveC("survey/qhv") / ("heave_" + std::to_string(Epoch) + ".qhv");
    ASSERT_TRUE(WaitFor([&] { return QhvRecords(file).size() == 1; }));

    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open_v2((rig.ConfigFolder() / "ntrx.db").c_str(), &locker, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    // The first data check finds the datagram, the second none: message 1414 is
    // due while 200 datagrams a second arrive for three seconds.
    const auto due = Clock::now();
    PutSignal(logger, WAIT_DATA_TIMEOUT);
    PutSignal(logger, WAIT_DATA_TIMEOUT);
    std::thread stream([&] {
        for (int i = 1; i <= 600; ++i) {
            sent.push_back(Heave(i));
            sender.SendTo(dataPort, sent.back());
            std::this_thread::sleep_for(5ms);
        }
    });
    ASSERT_TRUE(rig.WaitForTrace("Job: JobLog"));
    const auto blocked = Clock::now() - due;
    stream.join();
    EXPECT_LT(blocked, 6s) << "the job with the message waited for the database";
    EXPECT_EQ(rig.TraceCount("ERROR: No QHV data is received."), 1u);
    ASSERT_TRUE(WaitFor([&] { return QhvRecords(file).size() == sent.size(); }, 30s));
    EXPECT_EQ(QhvRecords(file), sent);
    const std::string dump = testsupport::ReadFile(rig.OnDriveC("Temp/db_QHVLogger_0.txt"));
    EXPECT_THAT(dump, testing::HasSubstr("Database unavailable (HY000): [SQLite]database is locked (5); "));
    EXPECT_THAT(dump, testing::ContainsRegex(
                          "INSERT INTO arrivedMessages\\(dateYYYYMMDD,millisecSinceMidnight,number\\) values "
                          "\\([0-9]+,[0-9]+,1414\\)\n"));

    ASSERT_EQ(sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(locker);
    // Data checks without data until the pause after the failure is over.
    std::size_t checks = rig.TraceCount("Job: JobCheckInput");
    const auto deadline = Clock::now() + 30s;
    while (rig.MessageCount(1414) == 0 && Clock::now() < deadline) {
        PutSignal(logger, WAIT_DATA_TIMEOUT);
        ASSERT_TRUE(rig.WaitForTrace("Job: JobCheckInput", ++checks));
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(rig.MessageCount(1414), 1u);
}
