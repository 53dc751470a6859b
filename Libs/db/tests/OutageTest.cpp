// The database server going away under a connected database object and its
// message store: a PostgreSQL cluster of the test's own, halted, then resumed
// with its server frozen, then thawed.
#include "db/DBoperations.h"
#include "db/Messages.h"

#include "TestDatabase.h"
#include "testsupport/PostgresCluster.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

class RecordingSender : public CMessageSender {
public:
    void send(const char* data, std::size_t length) override { sent.emplace_back(data, length); }
    std::vector<std::string> sent;
};

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

// A halted server is noticed by the first statement; until the pause is over
// every call returns at once and leaves its statement in the dump file. The
// attempt after the pause waits one login timeout for a server that does not
// answer and doubles the pause; the attempt after that reconnects.
TEST(PostgresOutageTest, AServerGoneIsLeftAloneBetweenAttemptsAndReconnected)
{
    testsupport::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Started());
    testsupport::ScopedEnv server("QHV_DB_POSTGRES", cluster.State());
    dbtest::TestDatabase db;
    CDBoperations ops("Outage");
    testing::internal::CaptureStderr();
    ASSERT_EQ(ops.connect("NTRXDB", "trxuser", "qalvex4", nullptr), 0);
    testing::internal::GetCapturedStderr();
    RecordingSender sender;
    CMessages messages;
    messages.setDatabase(&ops);
    messages.setSender(&sender);
    messages.sendMessage(1410, "C:\\before.qhv");
    ASSERT_EQ(sender.sent.size(), 1u);

    ASSERT_TRUE(cluster.Run("halt"));
    auto call = Clock::now();
    messages.sendMessage(1410, "C:\\during_1.qhv");
    ASSERT_TRUE(cluster.Run("resume"));
    cluster.Freeze(true);
    for (int n = 2; n <= 20; ++n) {
        messages.sendMessage(1410, ("C:\\during_" + std::to_string(n) + ".qhv").c_str());
    }
    EXPECT_LT(SecondsSince(call), 1.0);
    std::this_thread::sleep_for(1200ms - (Clock::now() - call));  // past the first pause

    call = Clock::now();
    messages.sendMessageNoText(1414);
    EXPECT_NEAR(SecondsSince(call), CDBconnection::LoginTimeoutSeconds, 2.0);
    cluster.Freeze(false);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            messages.sendMessage(1410, "C:\\after.qhv");
            return sender.sent.size() == 2;
        },
        30s));

    const std::string dump = testsupport::ReadFile(db.tempFolder() / "db_Outage_0.txt");
    // psqlODBC says 57P01 or 08S01, depending on what reached it before the server went.
    EXPECT_THAT(dump, testing::ContainsRegex("^Database unavailable \\((57P01|08S01)\\): .*; next attempt in 1 s\n"));
    EXPECT_THAT(dump, HasSubstr("Reconnect to NTRXDB failed (08001): "));
    EXPECT_THAT(dump, HasSubstr("timeout expired; next attempt in 2 s\n"));
    EXPECT_THAT(dump, testing::EndsWith("Database available again\n"));
    // Each message sent meanwhile (20 of 1410, one 1414, the first tries of 1410 after it) left its arrival.
    std::size_t arrivals = 0;
    for (auto at = dump.find("506 (-2): INSERT INTO arrivedMessages("); at != std::string::npos;
         at = dump.find("506 (-2): INSERT INTO arrivedMessages(", at + 1)) {
        ++arrivals;
    }
    EXPECT_GE(arrivals, 21u);
    // The messages themselves are kept there with their texts.
    EXPECT_THAT(dump, testing::ContainsRegex("Message 1410 of [0-9]{8} [0-9]{6}\\.[0-9]{3} not recorded: "
                                             "QHV-logger: kan ikke apne loggfil C:\\\\during_20\\.qhv\n"));
    EXPECT_THAT(dump, testing::ContainsRegex("Message 1414 of [0-9 .]+ not recorded: \\(no text\\)\n"));
    EXPECT_EQ(dbtest::SqlSession("NTRXDB").query("SELECT mess FROM arrivedMessagesString ORDER BY mess"),
              (dbtest::Rows { { "QHV-logger: kan ikke apne loggfil C:\\after.qhv" },
                              { "QHV-logger: kan ikke apne loggfil C:\\before.qhv" } }));
}
