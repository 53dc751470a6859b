// The database server going away under a connected database object and its
// message store: a PostgreSQL cluster of the test's own, halted, then resumed
// with its server frozen, then thawed.
#include "db/DBoperations.h"
#include "db/Messages.h"

#include "TestDatabase.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

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

// A cluster run by db/pg-cluster.sh for one test, so that halting it disturbs no other test.
class PrivateCluster {
public:
    PrivateCluster() { EXPECT_TRUE(Run("start")); }
    ~PrivateCluster()
    {
        if (m_frozen > 0) {
            ::kill(m_frozen, SIGCONT);
        }
        Run("stop");
    }
    std::string State() const { return (m_dir.path() / "pg").string(); }
    bool Run(const std::string& action) const
    {
        const std::string script = (testsupport::SourceDir() / "db" / "pg-cluster.sh").string();
        return std::system((testsupport::ShellQuoted(script) + " " + action + " " +
                            testsupport::ShellQuoted(State()) + " >/dev/null")
                               .c_str()) == 0;
    }
    // Stops (SIGSTOP) or continues the server's main process: connects get no answer meanwhile.
    void Freeze(bool frozen)
    {
        const std::string cluster = testsupport::ReadFile(m_dir.path() / "pg" / "cluster");
        m_frozen = std::stoi(testsupport::ReadFile(cluster.substr(0, cluster.find('\n')) + "/data/postmaster.pid"));
        ::kill(m_frozen, frozen ? SIGSTOP : SIGCONT);
    }

private:
    testsupport::TempDir m_dir;
    pid_t m_frozen = 0;
};

}  // namespace

// A halted server is noticed by the first statement; until the pause is over
// every call returns at once and leaves its statement in the dump file. The
// attempt after the pause waits one login timeout for a server that does not
// answer and doubles the pause; the attempt after that reconnects.
TEST(PostgresOutageTest, AServerGoneIsLeftAloneBetweenAttemptsAndReconnected)
{
    PrivateCluster cluster;
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
    EXPECT_EQ(dbtest::SqlSession("NTRXDB").query("SELECT mess FROM arrivedMessagesString ORDER BY mess"),
              (dbtest::Rows { { "QHV-logger: kan ikke apne loggfil C:\\after.qhv" },
                              { "QHV-logger: kan ikke apne loggfil C:\\before.qhv" } }));
}
