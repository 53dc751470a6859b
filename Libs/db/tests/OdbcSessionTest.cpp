// The ODBC layer below the queries: what a diagnostic says about the database,
// a session that meets a locked database, and the batch read of integer rows.
#include "db/OdbcFailure.h"
#include "db/OdbcIntegerRows.h"
#include "db/OdbcSession.h"

#include "TestDatabase.h"
#include "testsupport/TestUtils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

using testing::HasSubstr;

namespace {

struct FailureCase {
    const char* state;
    int nativeError;
    const char* message;
    bool sqliteDriver;
    Unavailable expected;
};

}  // namespace

TEST(OdbcFailureTest, EachDiagnosticSaysWhetherTheDatabaseIsGoneBusyOrThere)
{
    const FailureCase cases[] = {
        // Class 08 and the server's own shutdown states: the connection is gone.
        { "08S01", 0, "could not send data", false, Unavailable::Lost },
        { "08001", 0, "timeout expired", false, Unavailable::Lost },
        { "08003", 0, "", true, Unavailable::Lost },
        { "57P01", 7, "terminating connection due to administrator command", false, Unavailable::Lost },
        { "57P02", 7, "", false, Unavailable::Lost },
        { "57P03", 7, "the database system is starting up", false, Unavailable::Lost },
        { "HYT01", 0, "connection timeout expired", false, Unavailable::Lost },
        // A statement that ran out of time: the database is there but busy.
        { "HYT00", 0, "timeout expired", false, Unavailable::Busy },
        { "57014", 7, "canceling statement due to statement timeout", false, Unavailable::Busy },
        // SQLite tells by its own codes.
        { "HY000", 5, "[SQLite]database is locked (5)", true, Unavailable::Busy },
        { "HY000", 6, "[SQLite]database table is locked (6)", true, Unavailable::Busy },
        { "S1000", 5, "", true, Unavailable::Busy },
        { "HY000", 10, "[SQLite]disk I/O error (10)", true, Unavailable::Lost },
        { "HY000", 14, "[SQLite]unable to open database file (14)", true, Unavailable::Lost },
        { "HY000", 1, "[SQLite]no such table: x (1)", true, Unavailable::No },
        // SQLite's messages are not read for lost-connection words.
        { "HY000", 1, "connection lost", true, Unavailable::No },
        // Other drivers with a general error: the message tells a dead connection.
        { "HY000", 7, "The Connection Is Down", false, Unavailable::Lost },
        { "HY000", 7, "server closed the connection unexpectedly", false, Unavailable::Lost },
        { "S1000", 7, "could not receive data from server: Connection reset", false, Unavailable::Lost },
        { "HY000", 7, "no connection to the server\n", false, Unavailable::Lost },
        { "HY000", 7, "division by zero", false, Unavailable::No },
        // Errors of the statement itself.
        { "42P01", 7, "relation \"x\" does not exist; connection lost", false, Unavailable::No },
        { "23505", 7, "duplicate key value", false, Unavailable::No },
        { "IM002", 0, "Data source name not found", false, Unavailable::No },
    };
    for (const FailureCase& failure : cases) {
        EXPECT_EQ(ClassifyFailure(failure.state, failure.nativeError, failure.message, failure.sqliteDriver),
                  failure.expected)
            << failure.state << " " << failure.nativeError << " " << failure.message;
    }
}

TEST(OdbcFailureTest, ADiagnosticIsShownOnOneLine)
{
    EXPECT_EQ(OneLine("server closed the connection unexpectedly\n\tThis probably means the server terminated "
                      "abnormally\n\tbefore or while processing the request.\n"),
              "server closed the connection unexpectedly This probably means the server terminated abnormally "
              "before or while processing the request.");
    EXPECT_EQ(OneLine("  FATAL:  terminating connection ;\nThe connection is down;\n"),
              "FATAL: terminating connection; The connection is down");
    EXPECT_EQ(OneLine(";;"), "");
    EXPECT_EQ(OneLine(nullptr), "");
}

namespace {

class DbOdbcSessionTest : public testing::Test {
protected:
    std::string Dump() const { return testsupport::ReadFile(db.tempFolder() / "db_Session_0.txt"); }

    dbtest::TestDatabase db;
};

}  // namespace

// A locked database leaves the session connected: the statement that met the
// lock pauses it, the statements of the pause are reported without being run,
// and the first one after the lock runs again without a reconnect.
TEST_F(DbOdbcSessionTest, ALockedDatabasePausesTheSessionWithoutDroppingItsConnection)
{
    if (db.postgres()) {
        GTEST_SKIP() << "a server's outage is tested with its own cluster";
    }
    CDumpFile dump;
    dump.setName("Session");
    COdbcSession session(dump);
    int preparations = 0;
    session.setFirstConnection([&] { return ++preparations > 0; });
    ASSERT_TRUE(session.setLogin("NTRXDB", "trxuser", "qalvex4"));
    ASSERT_TRUE(session.connect());
    EXPECT_EQ(preparations, 1);
    EXPECT_TRUE(session.sqliteDriver());

    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.sqliteFile().c_str(), &locker, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const COdbcSession::Statement insert("INSERT INTO process (pid, processname) VALUES (140, ?)", { "LOCK'S" });
    EXPECT_FALSE(session.runStatement(insert, {}));
    EXPECT_FALSE(session.runStatement(insert, {}));
    EXPECT_TRUE(session.isConnected());
    EXPECT_EQ(Dump(), "Database unavailable (HY000): [SQLite]database is locked (5); next attempt in 1 s\n"
                      "505 (-1): INSERT INTO process (pid, processname) VALUES (140, 'LOCK''S')\n"
                      "506 (-2): INSERT INTO process (pid, processname) VALUES (140, 'LOCK''S')\n");

    ASSERT_EQ(sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(locker);
    ASSERT_TRUE(testsupport::WaitFor([&] { return session.runStatement(insert, {}); }, std::chrono::seconds(10)));
    session.freeStatement();
    EXPECT_THAT(Dump(), testing::EndsWith("Database available again\n"));
    EXPECT_THAT(Dump(), testing::Not(HasSubstr("Reconnect")));
    EXPECT_EQ(preparations, 1);

    std::uint32_t pid = 0;
    char name[8] = {};
    const COdbcSession::Statement select("SELECT pid, processname FROM process WHERE processname = ?", { "LOCK'S" });
    ASSERT_TRUE(session.runStatement(select, { COdbcSession::Column::Unsigned(&pid),
                                               COdbcSession::Column::Text(name, sizeof name) }));
    EXPECT_EQ(session.fetch(), COdbcSession::Fetched::Row);
    EXPECT_EQ(std::make_pair(pid, std::string(name)), std::make_pair(140u, std::string("LOCK'S")));
    EXPECT_EQ(session.fetch(), COdbcSession::Fetched::NoRow);
}

// Rows of more than one batch all arrive, each with its own values; a NULL is 0
// and reported once for the statement.
TEST_F(DbOdbcSessionTest, IntegerRowsAreReadAcrossBatches)
{
    dbtest::SqlSession sql("NTRXDB");
    sql.exec("CREATE TABLE numbers (n integer, square integer)");
    for (int n = 1; n <= 120; ++n) {
        sql.exec("INSERT INTO numbers VALUES (" + std::to_string(n) + ", " +
                 (n % 50 == 7 ? std::string("NULL") : std::to_string(n * n)) + ")");
    }
    std::map<int, int> squares;
    int rows = 0;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ReadIntegerRows("UID=trxuser;PWD=qalvex4;DSN=NTRXDB", "SELECT n, square FROM numbers", 2,
                                [&](const std::int32_t* row) {
                                    squares[row[0]] = row[1];
                                    ++rows;
                                }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "510 (NULL in column 2): SELECT n, square FROM numbers\n");
    EXPECT_EQ(rows, 120) << "each row once, none of an earlier batch again";
    ASSERT_EQ(squares.size(), 120u);
    EXPECT_EQ(squares.at(1), 1);
    EXPECT_EQ(squares.at(7), 0);
    EXPECT_EQ(squares.at(57), 0);
    EXPECT_EQ(squares.at(50), 2500);
    EXPECT_EQ(squares.at(51), 2601);
    EXPECT_EQ(squares.at(120), 14400);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(ReadIntegerRows("UID=trxuser;PWD=qalvex4;DSN=NTRXDB", "SELECT n FROM no_such_table", 1,
                                 [&](const std::int32_t*) { ADD_FAILURE() << "a row of no table"; }));
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("\nSELECT n FROM no_such_table\n"));
}
