// The system database a test of this library runs against: by default the
// SQLite demo database in a temporary drive root; with QHV_DB_POSTGRES set to
// the state folder of db/pg-cluster.sh, a fresh copy of the demo database on
// that private PostgreSQL cluster, dropped again at the end. Either way the
// data source "NTRXDB" names it, "c:\Temp" exists under the drive root, and
// exec/query reach the database directly over ODBC. For the test's main thread.
#pragma once

#include "testsupport/DemoDatabase.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dbtest {

using Rows = std::vector<std::vector<std::string>>;

// One plain ODBC connection for setting up and checking database contents.
class SqlSession {
public:
    explicit SqlSession(const char* dataSource)
    {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
        SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
        const SQLRETURN rc = SQLConnect(m_dbc, reinterpret_cast<SQLCHAR*>(const_cast<char*>(dataSource)), SQL_NTS,
                                        reinterpret_cast<SQLCHAR*>(const_cast<char*>("trxuser")), SQL_NTS,
                                        reinterpret_cast<SQLCHAR*>(const_cast<char*>("qalvex4")), SQL_NTS);
        if (!SQL_SUCCEEDED(rc)) {
            const std::string error = diagnostic(SQL_HANDLE_DBC, m_dbc);
            release();
            throw std::runtime_error(std::string("cannot connect to ") + dataSource + ": " + error);
        }
        m_connected = true;
    }
    ~SqlSession() { release(); }
    SqlSession(const SqlSession&) = delete;
    SqlSession& operator=(const SqlSession&) = delete;

    // Runs a statement; returns an empty text or the driver's error.
    std::string tryExec(const std::string& sql)
    {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt);
        const SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
        std::string error = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA ? "" : diagnostic(SQL_HANDLE_STMT, stmt) + " ";
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return error;
    }

    void exec(const std::string& sql)
    {
        const std::string error = tryExec(sql);
        if (!error.empty()) {
            throw std::runtime_error(sql + ": " + error);
        }
    }

    // Every row, every column as text (NULL as "<null>").
    Rows query(const std::string& sql)
    {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt);
        if (!SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS))) {
            const std::string error = diagnostic(SQL_HANDLE_STMT, stmt);
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            throw std::runtime_error(sql + ": " + error);
        }
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        Rows rows;
        while (SQL_SUCCEEDED(SQLFetch(stmt))) {
            std::vector<std::string> row;
            for (SQLUSMALLINT column = 1; column <= columns; ++column) {
                char buffer[4096] = {};
                SQLLEN indicator = 0;
                SQLGetData(stmt, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
                row.emplace_back(indicator == SQL_NULL_DATA ? "<null>" : buffer);
            }
            rows.push_back(std::move(row));
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return rows;
    }

private:
    static std::string diagnostic(SQLSMALLINT type, SQLHANDLE handle)
    {
        SQLCHAR state[6] = {};
        SQLCHAR message[512] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length);
        return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message);
    }

    void release()
    {
        if (m_connected) {
            SQLDisconnect(m_dbc);
            m_connected = false;
        }
        if (m_dbc != SQL_NULL_HDBC) {
            SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
            m_dbc = SQL_NULL_HDBC;
        }
        if (m_env != SQL_NULL_HENV) {
            SQLFreeHandle(SQL_HANDLE_ENV, m_env);
            m_env = SQL_NULL_HENV;
        }
    }

    SQLHENV m_env = SQL_NULL_HENV;
    SQLHDBC m_dbc = SQL_NULL_HDBC;
    bool m_connected = false;
};

// The state folder of the PostgreSQL cluster, or empty for SQLite.
inline std::string PostgresState()
{
    const char* state = std::getenv("QHV_DB_POSTGRES");
    return state != nullptr ? state : "";
}

class TestDatabase {
public:
    TestDatabase()
    {
        const std::string state = PostgresState();
        if (state.empty()) {
            m_demo.emplace(m_dir.path());
            return;
        }
        // A database of our own, copied from the demo database "ntrx", keeps
        // tests that run at the same time apart. unixODBC keeps the data source's
        // settings for the life of the process, so every test of one process uses
        // the same database name and gets a fresh copy under it.
        m_pgDatabase = "qhvtest_" + std::to_string(::getpid());
        const std::filesystem::path odbc = m_dir.path() / "odbc";
        std::filesystem::create_directories(odbc);
        std::filesystem::copy_file(std::filesystem::path(state) / "odbc" / "odbcinst.ini", odbc / "odbcinst.ini");
        std::string ini = testsupport::ReadFile(std::filesystem::path(state) / "odbc" / "odbc.ini");
        const std::string demoLine = "Database    = ntrx\n";
        const auto at = ini.find(demoLine);
        if (at == std::string::npos) {
            throw std::runtime_error("unexpected odbc.ini in " + state);
        }
        ini.replace(at, demoLine.size(), "Database    = " + m_pgDatabase + "\n");
        testsupport::WriteFile(odbc / "odbc.ini", ini);

        std::filesystem::create_directories(tempFolder());
        m_driveRoot.emplace("QHV_DRIVE_ROOT", m_dir.str());
        m_odbcSysIni.emplace("ODBCSYSINI", odbc.string());
        m_odbcIni.emplace("ODBCINI", (odbc / "odbc.ini").string());
        SqlSession admin("NTRXADMIN");
        admin.exec("DROP DATABASE IF EXISTS " + m_pgDatabase + " WITH (FORCE)");
        admin.exec("CREATE DATABASE " + m_pgDatabase + " TEMPLATE ntrx");
    }

    ~TestDatabase()
    {
        m_session.reset();
        if (!m_pgDatabase.empty()) {
            try {
                SqlSession("NTRXADMIN").tryExec("DROP DATABASE IF EXISTS " + m_pgDatabase + " WITH (FORCE)");
            } catch (const std::exception&) {
                // The cluster goes at the end of the run anyway.
            }
        }
    }

    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    bool postgres() const { return !m_pgDatabase.empty(); }
    const std::filesystem::path& root() const { return m_dir.path(); }
    std::filesystem::path tempFolder() const { return m_dir.path() / "c" / "Temp"; }
    // The database file the SQLite data source names (empty for PostgreSQL).
    std::string sqliteFile() const { return m_demo ? m_demo->dataSourceFile().string() : std::string(); }
    const std::string& postgresDatabase() const { return m_pgDatabase; }

    void exec(const std::string& sql) { session().exec(sql); }
    Rows query(const std::string& sql) { return session().query(sql); }
    std::string scalar(const std::string& sql)
    {
        const Rows rows = query(sql);
        return rows.empty() || rows[0].empty() ? std::string("<none>") : rows[0][0];
    }

private:
    SqlSession& session()
    {
        if (!m_session) {
            m_session.emplace("NTRXDB");
        }
        return *m_session;
    }

    testsupport::TempDir m_dir;
    std::optional<testsupport::DemoDatabase> m_demo;
    std::optional<testsupport::ScopedEnv> m_driveRoot;
    std::optional<testsupport::ScopedEnv> m_odbcSysIni;
    std::optional<testsupport::ScopedEnv> m_odbcIni;
    std::string m_pgDatabase;
    std::optional<SqlSession> m_session;
};

// Changes the working directory for the lifetime of the object.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::filesystem::path& folder) : m_previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(folder);
    }
    ~ScopedCwd()
    {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
    }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::filesystem::path m_previous;
};

}  // namespace dbtest
