#include "db/DBoperations.h"
#include "db/Messages.h"

#include "DbTest.h"
#include "TestDatabase.h"

#include "testsupport/TestUtils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

using dbtest::ScopedCwd;
using dbtest::TestDatabase;
using testing::HasSubstr;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;


// ---------------------------------------------------------------------------
// Connection

TEST_F(DbTest, ConnectNamesTheObjectAndOpensTheDatabaseFile)
{
    TempDir cwdDir;
    ScopedCwd cwd(cwdDir.path());
    CDBoperations ops("Unknown");
    testing::internal::CaptureStderr();
    ASSERT_EQ(ops.connect("NTRXDB", "trxuser", "qalvex4", "QHVLogger"), 0);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_STREQ(ops.name(), "QHVLogger");
    EXPECT_EQ(ops.language(), 3);
    if (db.postgres()) {
        // The server's database name is no file: the open fails and creates nothing.
        EXPECT_FALSE(ops.sqliteOpen());
        EXPECT_THAT(err, HasSubstr("SQLite specific, QHVLogger: Can't open database " + db.postgresDatabase() + ": "));
        EXPECT_TRUE(std::filesystem::is_empty(cwdDir.path()));
    } else {
        EXPECT_TRUE(ops.sqliteOpen());
        EXPECT_THAT(err,
                    HasSubstr("SQLite specific, QHVLogger: Opened database " + db.sqliteFile() + " successfully\n"));
        EXPECT_THAT(err, HasSubstr("SQLite specific, QHVLogger: Setting timeout 10000ms for database " +
                                   db.sqliteFile() + "\n"));
    }
    EXPECT_FALSE(DumpExists("QHVLogger"));
}

TEST_F(DbTest, FailedConnectLeavesEveryQueryFailingUntilItsPauseIsOver)
{
    CDBoperations ops("ORVANTA");
    EXPECT_EQ(ops.connect(nullptr, "trxuser", "qalvex4", nullptr), -1);
    EXPECT_FALSE(DumpExists("ORVANTA"));
    EXPECT_EQ(ops.connect("NOSUCHSOURCE", "trxuser", "qalvex4", "Renamed"), -1);
    EXPECT_STREQ(ops.name(), "Renamed") << "the dump files say whose they are";
    EXPECT_THAT(Dump("Renamed"), HasSubstr("Connect to NOSUCHSOURCE failed (IM002): "));
    EXPECT_THAT(Dump("Renamed"), HasSubstr("; next attempt in 1 s\n"));

    int version = 7;
    char* versionName = nullptr;
    EXPECT_EQ(ops.getVersion(&version, &versionName), -1);
    EXPECT_EQ(version, 0);
    EXPECT_EQ(versionName, nullptr);

    int pid = 5;
    EXPECT_EQ(ops.getPid(&pid, "QHVLOGGER"), -1);
    EXPECT_EQ(ops.getProcessName(99), nullptr);
    EXPECT_THAT(Dump("Renamed"), HasSubstr("506 (-2): select pid from process where processname = 'QHVLOGGER'\n"
                                           "505 (-2): select processname from process where pid=99\n"));
}

// A database that is not there when the object first connects (a workstation
// that starts before its database) is connected once it is there, as a lost
// connection is made again: the object then works as if the first connect had
// succeeded, duplicate suppression included.
TEST_F(DbTest, AFirstConnectThatFailedIsMadeOnceTheDatabaseIsThere)
{
    if (db.postgres()) {
        GTEST_SKIP() << "the server's own outage is tested over the whole process";
    }
    const std::filesystem::path file = db.sqliteFile();
    const std::filesystem::path aside = file.string() + ".aside";
    std::filesystem::rename(file, aside);
    CDBoperations ops("Unknown");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ops.connect("NTRXDB", "trxuser", "qalvex4", "Late"), -1);
    int pid = 0;
    EXPECT_EQ(ops.getPid(&pid, "QHVLOGGER"), -1);
    std::filesystem::rename(aside, file);
    EXPECT_TRUE(testsupport::WaitFor([&] { return ops.getPid(&pid, "QHVLOGGER") == 0; }, std::chrono::seconds(10)));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(pid, 99);
    EXPECT_TRUE(ops.sqliteOpen());
    EXPECT_THAT(Dump("Late"), HasSubstr("Connect to NTRXDB failed"));
    EXPECT_THAT(Dump("Late"), HasSubstr("506 (-2): select pid from process where processname = 'QHVLOGGER'\n"));
}

TEST_F(DbTest, ConnectFailsWithoutTheMessagesTable)
{
    db.exec("DROP TABLE messages");
    CDBoperations ops("Tester");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ops.connect("NTRXDB", "trxuser", "qalvex4", nullptr), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(Dump(), "505 (-1): SELECT number FROM messages WHERE lang=3 ORDER BY number\n");
}

// ---------------------------------------------------------------------------
// Processes, version, message types

TEST_F(DbTest, PidOfAProcessName)
{
    auto ops = Connected();
    int pid = -1;
    EXPECT_EQ(ops->getPid(&pid, "QHVLOGGER"), 0);
    EXPECT_EQ(pid, 99);
    EXPECT_EQ(ops->getPid(&pid, "NOBODY"), 0);
    EXPECT_EQ(pid, 0);

    // Quotes in names are data, never part of the statement.
    db.exec("INSERT INTO process (pid, processname) VALUES (120, 'O''BRIEN')");
    EXPECT_EQ(ops->getPid(&pid, "O'BRIEN"), 0);
    EXPECT_EQ(pid, 120);
    EXPECT_EQ(ops->getPid(&pid, "x' OR '1'='1"), 0);
    EXPECT_EQ(pid, 0);
    EXPECT_FALSE(DumpExists());

    db.exec("ALTER TABLE process RENAME TO process_gone");
    EXPECT_EQ(ops->getPid(&pid, "QHVLOGGER"), -1);
    EXPECT_EQ(Dump(), "505 (-1): select pid from process where processname = 'QHVLOGGER'\n");
}

TEST_F(DbTest, ProcessNameOfAPid)
{
    auto ops = Connected();
    char* name = ops->getProcessName(99);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "QHVLOGGER");
    std::free(name);
    name = ops->getProcessName(106);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "P2XLOGGER");
    std::free(name);

    EXPECT_EQ(ops->getProcessName(4711), nullptr);
    EXPECT_FALSE(DumpExists());

    db.exec("ALTER TABLE process RENAME TO process_gone");
    EXPECT_EQ(ops->getProcessName(99), nullptr);
    EXPECT_EQ(Dump(), "505 (-1): select processname from process where pid=99\n");
}

TEST_F(DbTest, VersionIsTheLastRow)
{
    auto ops = Connected();
    int version = 0;
    char* name = nullptr;
    ASSERT_EQ(ops->getVersion(&version, &name), 0);
    EXPECT_EQ(version, 412);
    EXPECT_STREQ(name, "NTRX 4.12 demo");
    delete[] name;

    db.exec("INSERT INTO trx_version (current_version, current_versionname) VALUES (413, 'second')");
    db.exec("INSERT INTO trx_version (current_version, current_versionname) VALUES (414, 'third')");
    ASSERT_EQ(ops->getVersion(&version, &name), 0);
    EXPECT_EQ(version, 414);
    EXPECT_STREQ(name, "third");
    delete[] name;
    EXPECT_FALSE(DumpExists());
}

TEST_F(DbTest, VersionWithoutARowOrTableFails)
{
    auto ops = Connected();
    db.exec("DELETE FROM trx_version");
    int version = 9;
    char* name = nullptr;
    EXPECT_EQ(ops->getVersion(&version, &name), -1);
    EXPECT_EQ(version, 0);
    EXPECT_EQ(name, nullptr);

    db.exec("DROP TABLE trx_version");
    EXPECT_EQ(ops->getVersion(&version, &name), -1);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(Dump(), "505: (SQL_NO_DATA): SELECT current_version,current_versionname FROM trx_version\n"
                      "505 (-1): SELECT current_version,current_versionname FROM trx_version\n");
}

TEST_F(DbTest, MessageTypeOfANumber)
{
    auto ops = Connected();
    int type = -1;
    int typeLogging = -1;
    EXPECT_EQ(ops->getMessageType(1436, &type, &typeLogging), 0);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(typeLogging, 3);
    EXPECT_EQ(ops->getMessageType(1410, &type, &typeLogging), 0);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(typeLogging, 3);
    EXPECT_FALSE(DumpExists());

    EXPECT_EQ(ops->getMessageType(9999, &type, &typeLogging), -1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(typeLogging, 0);
    db.exec("DROP TABLE messages");
    EXPECT_EQ(ops->getMessageType(1410, &type, &typeLogging), -1);
    EXPECT_EQ(Dump(), "505: (SQL_NO_DATA): select type,typeLogging from messages where number = 9999\n"
                      "505 (-1): select type,typeLogging from messages where number = 1410\n");
}

// ---------------------------------------------------------------------------
// Sockets and logger parameters

TEST_F(DbTest, SocketsOfAProcess)
{
    db.exec("INSERT INTO process_socket (id, pid, ip, port, udp_tcp, read_write, server_client) "
            "VALUES (3000000000, 90, '10.0.0.1', 4294967295, 2, 7, 1)");
    auto ops = Connected();
    SocketRecord* records = nullptr;
    int count = 0;
    ASSERT_EQ(ops->getSockets("orvanta_ctrl", &records, &count), 0);  // the name is upper-cased
    ASSERT_EQ(count, 3);
    ASSERT_NE(records, nullptr);
    // Rows come in the order the database delivers them; sort for the checks.
    std::sort(records, records + count, [](const SocketRecord& a, const SocketRecord& b) { return a.id < b.id; });
    EXPECT_EQ(records[0].id, 1u);
    EXPECT_STREQ(records[0].ip, "127.0.0.1");
    EXPECT_EQ(records[0].port, 5076u);
    EXPECT_EQ(records[0].udp_tcp, 1u);
    EXPECT_EQ(records[0].read_write, 1u);
    EXPECT_EQ(records[0].server_client, 1u);
    EXPECT_EQ(records[0].pid, 90u);
    EXPECT_EQ(records[1].port, 4002u);
    EXPECT_EQ(records[1].read_write, 2u);
    // Unsigned 32-bit values above the signed range come through whole.
    EXPECT_EQ(records[2].id, 3000000000u);
    EXPECT_EQ(records[2].port, 4294967295u);
    EXPECT_STREQ(records[2].ip, "10.0.0.1");
    std::free(records);

    records = reinterpret_cast<SocketRecord*>(&count);  // must be overwritten
    EXPECT_EQ(ops->getSockets("QHVLOGGER", &records, &count), 0);
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(DumpExists());

    db.exec("DROP VIEW process_socket_v");
    EXPECT_EQ(ops->getSockets("ORVANTA_CTRL", &records, &count), -1);
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(Dump(), "505 (-1): select id, ip, port, udp_tcp, read_write, server_client, pid from process_socket_v "
                      "where process_socket_v.processname=upper('ORVANTA_CTRL')\n");
}

TEST_F(DbTest, LoggerParametersOfUserAndProcess)
{
    auto ops = Connected();
    LoggerParameters qhv {};
    ASSERT_EQ(ops->getLoggerParameters("QV user", "QHVLOGGER", &qhv), 0);
    EXPECT_EQ(qhv.logger, 99u);
    EXPECT_EQ(qhv.logging_enabled, 1u);
    EXPECT_EQ(qhv.logging_selected, 0u);
    EXPECT_EQ(qhv.dir_value_enabled, 1u);
    EXPECT_STREQ(qhv.dir_value, "C:\\survey\\qhv");
    EXPECT_STREQ(qhv.file_value, "heave__TOKY__TOKM__TOKD__TOKH__TOKN_.qhv");
    EXPECT_EQ(qhv.browse_enabled, 1u);
    EXPECT_EQ(qhv.browse_selected, 0u);
    EXPECT_EQ(qhv.line_interval_value_enabled, 1u);
    EXPECT_STREQ(qhv.line_interval_value, "30");
    EXPECT_EQ(qhv.apply_enabled, 1u);
    EXPECT_EQ(qhv.apply_selected, 0u);

    LoggerParameters p2x {};
    ASSERT_EQ(ops->getLoggerParameters("QV user", "P2XLOGGER", &p2x), 0);
    EXPECT_EQ(p2x.logger, 106u);
    EXPECT_EQ(p2x.logging_selected, 1u);
    EXPECT_STREQ(p2x.dir_value, "C:\\survey\\p2x");
    EXPECT_STREQ(p2x.file_value, "p2x__TOKY__TOKM__TOKD__TOKH__TOKN__TOKS_.p2x");

    // A user name with a quote is found, not a broken statement.
    db.exec("INSERT INTO users (id, name) VALUES (2, 'O''Neil')");
    db.exec("INSERT INTO qhv_param (id, logger, dir_value, file_value, line_interval_value) "
            "VALUES (2, 99, 'D:\\heave', 'h.qhv', '123456789')");
    LoggerParameters other {};
    ASSERT_EQ(ops->getLoggerParameters("O'Neil", "QHVLOGGER", &other), 0);
    EXPECT_STREQ(other.dir_value, "D:\\heave");
    EXPECT_STREQ(other.line_interval_value, "123456789");
    EXPECT_FALSE(DumpExists());

    LoggerParameters untouched {};
    untouched.logger = 77;
    EXPECT_EQ(ops->getLoggerParameters("Nobody", "QHVLOGGER", &untouched), -1);
    EXPECT_EQ(untouched.logger, 77u);
    EXPECT_EQ(Dump(),
              "505: (SQL_NO_DATA): SELECT logger, logging_enabled, logging_selected, dir_value_enabled, dir_value, "
              "file_value, browse_enabled, browse_selected, line_interval_value_enabled, line_interval_value, "
              "apply_enabled, apply_selected FROM qhv_param, users, process WHERE users.name = 'Nobody' AND "
              "users.id = qhv_param.id AND qhv_param.logger = process.pid AND process.processname = 'QHVLOGGER' \n");
}

// A folder longer than its field would come back cut, and files would go to
// the folder that is left: the row is refused, and the dump file says why.
TEST_F(DbTest, LoggerParametersWithATextLongerThanItsFieldFail)
{
    if (db.postgres()) {
        GTEST_SKIP() << "the schema's varchar(299) keeps such a text out of the server's table";
    }
    auto ops = Connected();
    db.exec("UPDATE qhv_param SET dir_value = '" + std::string(320, 'd') + "' WHERE logger = 99");
    LoggerParameters parameters {};
    EXPECT_EQ(ops->getLoggerParameters("QV user", "QHVLOGGER", &parameters), -1);
    EXPECT_EQ(parameters.dir_value[0], '\0');
    EXPECT_THAT(Dump(), testing::StartsWith("511 (text longer than its buffer in column 5): SELECT logger, "));
    EXPECT_EQ(ops->getLoggerParameters("QV user", "P2XLOGGER", &parameters), 0) << "other rows read as ever";
}

TEST_F(DbTest, LoggerParametersWithoutTheTableFail)
{
    auto ops = Connected();
    db.exec("DROP TABLE qhv_param");
    LoggerParameters parameters {};
    EXPECT_EQ(ops->getLoggerParameters("QV user", "P2XLOGGER", &parameters), -1);
    EXPECT_THAT(Dump(), testing::StartsWith("505 (-1): SELECT logger, "));
    EXPECT_THAT(Dump(), testing::EndsWith("process.processname = 'P2XLOGGER' \n"));
}

// ---------------------------------------------------------------------------
// Tokens

TEST_F(DbTest, TokensOfEachType)
{
    db.exec("INSERT INTO float_values (id, value) VALUES (1001, 2.75)");
    db.exec("INSERT INTO token_value (token, value_id, description_id) VALUES ('TEST_FLOAT', 1001, 0)");
    auto ops = Connected();

    TokenValue value;
    ASSERT_EQ(ops->getToken("RUNT_PARAM_QHV_LOG_SOURCE_PORT", &value), 0);
    EXPECT_EQ(value.type, TokenValue::Integer);
    EXPECT_EQ(value.intValue, 31102);
    ASSERT_EQ(ops->getToken("runt_param_qhv_dir", &value), 0);  // names are upper-cased
    EXPECT_EQ(value.type, TokenValue::Text);
    EXPECT_STREQ(value.textValue, "C:\\survey\\qhv");
    ASSERT_EQ(ops->getToken("TEST_FLOAT", &value), 0);
    EXPECT_EQ(value.type, TokenValue::Float);
    EXPECT_DOUBLE_EQ(value.floatValue, 2.75);

    EXPECT_EQ(ops->getIntToken("MAIN_W_LOGGING_STATUS_ON_OFF"), 0);
    EXPECT_EQ(ops->getIntToken("RUNT_PARAM_P2X_MAX_WAIT_TIME"), 90);
    EXPECT_EQ(ops->getIntToken("TEST_FLOAT"), 2);  // truncated
    EXPECT_EQ(ops->getIntToken("RUNT_PARAM_QHV_DIR"), 0);
    EXPECT_FALSE(DumpExists());
}

TEST_F(DbTest, TokenInTwoTypedTablesIsFloatingPoint)
{
    db.exec("INSERT INTO float_values (id, value) VALUES (2102, 1.5)");
    auto ops = Connected();
    TokenValue value;
    ASSERT_EQ(ops->getToken("RUNT_PARAM_QHV_LOG_SOURCE_PORT", &value), 0);
    EXPECT_EQ(value.type, TokenValue::Float);
    EXPECT_DOUBLE_EQ(value.floatValue, 1.5);
}

TEST_F(DbTest, TokenValuesFromTextAndNegativeIntegers)
{
    db.exec("INSERT INTO varchar_values (id, value) VALUES (3901, '42')");
    db.exec("INSERT INTO integer_values (id, value) VALUES (2901, -7)");
    db.exec("INSERT INTO token_value (token, value_id, description_id) VALUES ('TEST_TEXT', 3901, 0)");
    db.exec("INSERT INTO token_value (token, value_id, description_id) VALUES ('TEST_NEGATIVE', 2901, 0)");
    db.exec("INSERT INTO token_value (token, value_id, description_id) VALUES ('O''TOKEN', 2102, 0)");
    auto ops = Connected();
    EXPECT_EQ(ops->getIntToken("TEST_TEXT"), 42);
    EXPECT_EQ(ops->getIntToken("TEST_NEGATIVE"), -7);
    EXPECT_EQ(ops->getIntToken("o'token"), 31102);
}

TEST_F(DbTest, UnknownTokensAndTokensWithoutValue)
{
    db.exec("INSERT INTO token_value (token, value_id, description_id) VALUES ('ORPHAN', 9999, 0)");
    auto ops = Connected();

    TokenValue value;
    value.type = 42;
    value.intValue = 4711;
    EXPECT_EQ(ops->getToken("NO_SUCH_TOKEN", &value), -1);
    EXPECT_EQ(ops->getIntToken("NO_SUCH_TOKEN"), 0);
    // A token without a row in any value table is found but keeps the value given.
    EXPECT_EQ(ops->getToken("ORPHAN", &value), 0);
    EXPECT_EQ(value.type, 42);
    EXPECT_EQ(value.intValue, 4711);
    EXPECT_FALSE(DumpExists());
}

TEST_F(DbTest, MissingTokenTables)
{
    auto ops = Connected();
    // A missing typed table only means the value is not there.
    db.exec("DROP TABLE float_values");
    EXPECT_EQ(ops->getIntToken("RUNT_PARAM_QHV_MAX_WAIT_TIME"), 20);
    EXPECT_FALSE(DumpExists());

    db.exec("DROP TABLE token_value");
    TokenValue value;
    EXPECT_EQ(ops->getToken("RUNT_PARAM_QHV_MAX_WAIT_TIME", &value), -1);
    EXPECT_EQ(Dump(), "505 (-1): select value_id from token_value where token=upper('RUNT_PARAM_QHV_MAX_WAIT_TIME')\n");
}

// ---------------------------------------------------------------------------
// Message texts

TEST_F(DbTest, MessageTextOfOtherLanguagesComesOutAsUtf8)
{
    // Raw Latin-1 bytes and "\u" escapes, as texts of languages other than 3 are stored.
    db.exec("INSERT INTO messages (number, lang, mess) VALUES "
            "(5001, 1, 'Bl\\u00e5 \xE6 \xE8 a\\b \\u20AC.')");
    auto ops = Connected();
    char* text = ops->getMessageText(5001, 1);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Bl\xC3\xA5 \xC3\xA6  ab .");
    std::free(text);

    text = ops->getMessageText(1410, 1);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "QHV logger: cannot open log file %s");
    std::free(text);
}

TEST_F(DbTest, MessageTextOfLanguage3IsTranslated)
{
    db.exec("INSERT INTO messages (number, lang, mess) VALUES (5002, 3, 'Kan ikke !!aapne !!AE!!oe!!AE')");
    TempDir withTable;
    std::string table(100, '\0');
    table[0] = '\xC6';  // !!AE
    table[3] = '\xF8';  // !!oe
    table[5] = '\xE5';  // !!aa
    WriteFile(withTable.path() / "translate.bin", table);
    {
        ScopedCwd cwd(withTable.path());
        auto ops = Connected();
        char* text = ops->getMessageText(5002, 3);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "Kan ikke \xE5pne \xC6\xF8\xC6");
        std::free(text);
    }
    TempDir withoutTable;
    ScopedCwd cwd(withoutTable.path());
    auto ops = Connected();
    char* text = ops->getMessageText(5002, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Kan ikke !!aapne !!AE!!oe!!AE");
    std::free(text);
}

TEST_F(DbTest, MissingMessageTextGivesTheErrorText)
{
    auto ops = Connected();
    for (int language : { 1, 3 }) {
        char* text = ops->getMessageText(4711, language);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "**** Error retrieving message no: 4711 from database ****\r\n");
        std::free(text);
    }
    EXPECT_FALSE(DumpExists());

    db.exec("DROP TABLE messages");
    EXPECT_EQ(ops->getMessageText(1410, 3), nullptr);
    EXPECT_EQ(Dump(), "505 (-1): select mess from messages where lang = 3 and number = 1410\n");
}

TEST_F(DbTest, MessageTextsAreCutTo399Characters)
{
    // Escapes make the text longer than the database column on the way.
    db.exec("INSERT INTO messages (number, lang, mess) VALUES (5003, 1, '" + Repeat('\xE6', 300) + "')");
    db.exec("INSERT INTO messages (number, lang, mess) VALUES (5004, 3, '" + Repeat('y', 399) + "')");
    auto ops = Connected();
    char* text = ops->getMessageText(5003, 1);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text).size(), 399u);  // 199 two-byte characters and half of one
    std::free(text);
    text = ops->getMessageText(5004, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), Repeat('y', 399));
    std::free(text);
}

// ---------------------------------------------------------------------------
// NULL columns and texts in statements

// Every row is read; a NULL text is empty, a NULL number 0 (not the previous
// row's value), and each statement that met one leaves one dump line.
TEST_F(DbTest, NullColumnsReadAsEmptyTextAndZero)
{
    // Copies without the NOT NULL constraints.
    db.exec("DROP VIEW process_socket_v");
    for (const std::string table : { "process_socket", "qhv_param", "trx_version", "messages", "varchar_values" }) {
        db.exec("CREATE TABLE loose AS SELECT * FROM " + table);
        db.exec("DROP TABLE " + table);
        db.exec("ALTER TABLE loose RENAME TO " + table);
    }
    db.exec("CREATE VIEW process_socket_v AS SELECT process.processname, process_socket.id, process_socket.ip, "
            "process_socket.port, process_socket.udp_tcp, process_socket.read_write, process_socket.server_client, "
            "process_socket.pid FROM process_socket JOIN process ON process.pid = process_socket.pid");
    db.exec("INSERT INTO process_socket (id, pid, ip, port, udp_tcp, read_write, server_client) VALUES "
            "(3, 90, NULL, NULL, NULL, 2, 2), (4, 90, '10.0.0.4', 4004, 1, 1, 1)");
    db.exec("UPDATE qhv_param SET dir_value = NULL, browse_enabled = NULL WHERE logger = 99");
    db.exec("UPDATE trx_version SET current_versionname = NULL");
    db.exec("UPDATE messages SET mess = NULL, type = NULL WHERE number = 1414");
    db.exec("UPDATE varchar_values SET value = NULL WHERE id = 3101");
    auto ops = Connected();

    SocketRecord* records = nullptr;
    int count = 0;
    ASSERT_EQ(ops->getSockets("ORVANTA_CTRL", &records, &count), 0);
    ASSERT_EQ(count, 4);
    std::sort(records, records + count, [](const SocketRecord& a, const SocketRecord& b) { return a.id < b.id; });
    EXPECT_EQ(std::make_tuple(std::string(records[2].ip), records[2].port, records[2].udp_tcp, records[2].read_write),
              std::make_tuple(std::string(), 0u, 0u, 2u));
    EXPECT_STREQ(records[3].ip, "10.0.0.4");
    std::free(records);
    LoggerParameters row {};
    ASSERT_EQ(ops->getLoggerParameters("QV user", "QHVLOGGER", &row), 0);
    EXPECT_STREQ(row.dir_value, "");
    EXPECT_EQ(row.browse_enabled, 0u);
    EXPECT_STREQ(row.line_interval_value, "30");
    int version = 0;
    char* name = nullptr;
    ASSERT_EQ(ops->getVersion(&version, &name), 0);
    EXPECT_EQ(version, 412);
    EXPECT_STREQ(name, "");
    delete[] name;
    char* text = ops->getMessageText(1414, 3);
    EXPECT_STREQ(text, "");
    std::free(text);
    TokenValue value;
    ASSERT_EQ(ops->getToken("RUNT_PARAM_QHV_DIR", &value), 0);
    EXPECT_STREQ(value.textValue, "");
    EXPECT_EQ(Dump(),
              "510 (NULL in column 2,3,4): select id, ip, port, udp_tcp, read_write, server_client, pid from "
              "process_socket_v where process_socket_v.processname=upper('ORVANTA_CTRL')\n"
              "510 (NULL in column 5,7): SELECT logger, logging_enabled, logging_selected, dir_value_enabled, "
              "dir_value, file_value, browse_enabled, browse_selected, line_interval_value_enabled, "
              "line_interval_value, apply_enabled, apply_selected FROM qhv_param, users, process WHERE users.name = "
              "'QV user' AND users.id = qhv_param.id AND qhv_param.logger = process.pid AND process.processname = "
              "'QHVLOGGER' \n"
              "510 (NULL in column 2): SELECT current_version,current_versionname FROM trx_version\n"
              "510 (NULL in column 1): select mess from messages where lang = 3 and number = 1414\n"
              "510 (NULL in column 1): select value from varchar_values where id='3101'\n");

    // The message types come in batches: the row with a NULL type is 0, the others whole.
    CMessages messages;
    testing::internal::CaptureStderr();
    messages.loadMessageTypes();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "510 (NULL in column 2): select number, type, typeLogging from messages where lang=1\n");
    EXPECT_EQ(messages.messageTypes().size(), 14u);
    EXPECT_EQ(messages.messageTypes().at(1414), std::make_pair(0, 3));
}

// Texts that end in a backslash or try to end the statement are data, also
// where the server takes a backslash in a literal for an escape.
TEST_F(DbTest, TextsEndingInABackslashOrHoldingAQuoteAreData)
{
    if (db.postgres()) {
        db.exec("ALTER DATABASE " + db.postgresDatabase() + " SET standard_conforming_strings = off");
        ASSERT_EQ(dbtest::SqlSession("NTRXDB").query("SHOW standard_conforming_strings"), (dbtest::Rows { { "off" } }));
    }
    // This session began before the change: its literals keep a backslash as it is.
    db.exec("INSERT INTO process (pid, processname) VALUES (130, 'QHV\\'), (131, 'X''); DROP TABLE PROCESS; --')");
    db.exec("INSERT INTO process_socket (id, pid, ip, port, udp_tcp, read_write, server_client) "
            "VALUES (7, 130, '10.0.0.7', 4711, 1, 1, 1)");
    db.exec("INSERT INTO qhv_param (id, logger, dir_value) VALUES (1, 130, 'C:\\survey\\')");
    db.exec("INSERT INTO token_value (token, value_id) VALUES ('TOK\\', 2101)");
    auto ops = Connected();

    int pid = 0;
    EXPECT_EQ(ops->getPid(&pid, "QHV\\"), 0);
    EXPECT_EQ(pid, 130);
    EXPECT_EQ(ops->getPid(&pid, "X'); DROP TABLE PROCESS; --"), 0);
    EXPECT_EQ(pid, 131);
    SocketRecord* records = nullptr;
    int count = 0;
    EXPECT_EQ(ops->getSockets("qhv\\", &records, &count), 0);
    EXPECT_EQ(count, 1);
    std::free(records);
    LoggerParameters row {};
    EXPECT_EQ(ops->getLoggerParameters("QV user", "QHV\\", &row), 0);
    EXPECT_STREQ(row.dir_value, "C:\\survey\\");
    EXPECT_EQ(ops->getIntToken("tok\\"), 30);
    const dbtest::Rows texts { { "C:\\survey\\qhv\\" }, { "C:\\a'); DROP TABLE arrivedMessagesString; --" } };
    EXPECT_EQ(ops->insertArrivedMessageText(kDate, 1, 1410, 3, texts[0][0].c_str()), 0);
    EXPECT_EQ(ops->insertArrivedMessageText(kDate, 2, 1410, 3, texts[1][0].c_str()), 0);
    EXPECT_EQ(db.query("SELECT mess FROM arrivedMessagesString ORDER BY millisecSinceMidnight"), texts);
    EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM process"), "5");
    EXPECT_FALSE(DumpExists());
}
