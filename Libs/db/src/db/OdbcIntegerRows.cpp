#include "db/OdbcIntegerRows.h"

#include "db/DBconnection.h"
#include "db/OdbcSession.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

namespace {

static_assert(std::is_same_v<SQLINTEGER, std::int32_t>);

// The handles of the short connection, released in reverse order.
class RowReader {
public:
    static constexpr SQLULEN BatchSize = 50;
    static constexpr int MaxColumns = 8;

    ~RowReader()
    {
        if (m_stmt != SQL_NULL_HSTMT) {
            SQLFreeHandle(SQL_HANDLE_STMT, m_stmt);
        }
        if (m_connected) {
            SQLDisconnect(m_dbc);
        }
        if (m_dbc != SQL_NULL_HDBC) {
            SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
        }
        if (m_env != SQL_NULL_HENV) {
            SQLFreeHandle(SQL_HANDLE_ENV, m_env);
        }
    }

    bool read(const char* connectString, const char* statement, int columns,
              const std::function<void(const std::int32_t* values)>& row)
    {
        if (columns < 1 || columns > MaxColumns) {
            return false;
        }
        if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env), SQL_HANDLE_ENV, m_env, "")) {
            return false;
        }
        SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc), SQL_HANDLE_ENV, m_env, "")) {
            return false;
        }
        // The same bounds as the process's database objects; drivers without them are no reason to fail.
        SQLSetConnectAttr(m_dbc, SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(CDBconnection::LoginTimeoutSeconds), 0);
        SQLCHAR out[1024];
        SQLSMALLINT outLength = 0;
        if (!ok(SQLDriverConnect(m_dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectString)),
                                 SQL_NTS, out, sizeof out, &outLength, SQL_DRIVER_NOPROMPT),
                SQL_HANDLE_DBC, m_dbc, "")) {
            return false;
        }
        m_connected = true;
        if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &m_stmt), SQL_HANDLE_DBC, m_dbc, statement)) {
            return false;
        }
        SQLSetStmtAttr(m_stmt, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(COdbcSession::StatementTimeoutSeconds), 0);

        // Rows come in batches of BatchSize, each column into an array with the
        // NULL indicators beside it.
        std::vector<SQLINTEGER> values(static_cast<std::size_t>(columns) * BatchSize);
        std::vector<SQLLEN> indicators(values.size());
        const auto at = [](int column, SQLULEN row) { return static_cast<std::size_t>(column) * BatchSize + row; };
        SQLULEN fetched = 0;
        SQLSetStmtAttr(m_stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
        if (!ok(SQLSetStmtAttr(m_stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(BatchSize), 0),
                SQL_HANDLE_STMT, m_stmt, statement) ||
            !ok(SQLSetStmtAttr(m_stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0), SQL_HANDLE_STMT, m_stmt,
                statement)) {
            return false;
        }
        for (int column = 0; column < columns; ++column) {
            if (!ok(SQLBindCol(m_stmt, static_cast<SQLUSMALLINT>(column + 1), SQL_C_SLONG, &values[at(column, 0)],
                               sizeof values[0], &indicators[at(column, 0)]),
                    SQL_HANDLE_STMT, m_stmt, statement)) {
                return false;
            }
        }
        if (!ok(SQLExecDirect(m_stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement)), SQL_NTS),
                SQL_HANDLE_STMT, m_stmt, statement)) {
            return false;
        }
        bool nullReported = false;
        std::int32_t rowValues[MaxColumns] = {};
        for (;;) {
            const SQLRETURN rc = SQLFetch(m_stmt);
            if (rc == SQL_NO_DATA) {
                return true;
            }
            if (!ok(rc, SQL_HANDLE_STMT, m_stmt, statement)) {
                return false;
            }
            for (SQLULEN index = 0; index < fetched && index < BatchSize; ++index) {
                // A NULL reads as 0, written once: "510 (NULL in column <n,...>): <statement>".
                std::string nullColumns;
                for (int column = 0; column < columns; ++column) {
                    rowValues[column] = values[at(column, index)];
                    if (indicators[at(column, index)] == SQL_NULL_DATA) {
                        rowValues[column] = 0;
                        nullColumns += (nullColumns.empty() ? "" : ",") + std::to_string(column + 1);
                    }
                }
                if (!nullColumns.empty() && !nullReported) {
                    nullReported = true;
                    std::fprintf(stderr, "510 (NULL in column %s): %s\n", nullColumns.c_str(), statement);
                }
                row(rowValues);
            }
        }
    }

private:
    // Writes a failure as its message, the statement, the SQL state and the
    // variable concerned (none here), one per line.
    static bool ok(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* statement)
    {
        if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
            return true;
        }
        SQLCHAR state[6] = {};
        SQLCHAR message[512] = {};
        SQLINTEGER nativeError = 0;
        SQLSMALLINT length = 0;
        const bool described =
            handle != SQL_NULL_HANDLE &&
            SQL_SUCCEEDED(SQLGetDiagRec(handleType, handle, 1, state, &nativeError, message, sizeof message, &length));
        if (!described) {
            std::snprintf(reinterpret_cast<char*>(message), sizeof message, "ODBC error %d", static_cast<int>(rc));
        }
        std::fprintf(stderr, "%s\n%s\n%s\n%s\n", reinterpret_cast<const char*>(message), statement,
                     reinterpret_cast<const char*>(state), "");
        return false;
    }

    SQLHENV m_env = SQL_NULL_HENV;
    SQLHDBC m_dbc = SQL_NULL_HDBC;
    SQLHSTMT m_stmt = SQL_NULL_HSTMT;
    bool m_connected = false;
};

}  // namespace

bool ReadIntegerRows(const char* connectString, const char* statement, int columns,
                     const std::function<void(const std::int32_t* values)>& row)
{
    RowReader reader;
    return reader.read(connectString, statement, columns, row);
}
