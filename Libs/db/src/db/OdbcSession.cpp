#include "db/OdbcSession.h"

#include "db/OdbcFailure.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

// The header keeps ODBC out; its indicators and lengths are SQLLEN.
static_assert(std::is_same_v<SQLLEN, long>);
static_assert(std::is_same_v<SQLUINTEGER, std::uint32_t>);

bool Succeeded(int rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// A text as it stands between single quotes in a statement shown in the dump
// file: each quote doubled.
std::string Quoted(const char* text)
{
    std::string quoted;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (*p == '\'') {
            quoted += '\'';
        }
        quoted += *p;
    }
    return quoted;
}

}  // namespace

COdbcSession::Statement::Statement(std::string parameterised, std::initializer_list<const char*> values)
    : sql(std::move(parameterised))
{
    auto value = values.begin();
    for (const char c : sql) {
        if (c == '?' && value != values.end()) {
            const char* text = *value != nullptr ? *value : "";
            texts.emplace_back(text);
            shown += '\'' + Quoted(text) + '\'';
            ++value;
        } else {
            shown += c;
        }
    }
}

COdbcSession::Column COdbcSession::Column::Unsigned(std::uint32_t* target)
{
    return Column { SQL_C_ULONG, target, sizeof *target };
}

COdbcSession::Column COdbcSession::Column::Double(double* target)
{
    return Column { SQL_C_DOUBLE, target, sizeof *target };
}

COdbcSession::Column COdbcSession::Column::Text(char* target, long size)
{
    return Column { SQL_C_CHAR, target, size };
}

// ---------------------------------------------------------------------------
// Connection

bool COdbcSession::setLogin(const char* dataSource, const char* user, const char* password)
{
    freeStatement();
    m_dbc = nullptr;
    m_paused = false;
    m_lost = false;
    m_prepared = false;
    m_pauseSeconds = 0;
    m_connection = std::make_unique<CDBconnection>();
    if (m_connection->setDataSource(dataSource) != 0 || m_connection->setUser(user) != 0 ||
        m_connection->setPassword(password) != 0) {
        m_connection.reset();
        return false;
    }
    return true;
}

bool COdbcSession::connect()
{
    if (!m_connection) {
        return false;
    }
    if (m_connection->connect() != 0) {
        m_rc = m_connection->lastReturnCode();
        // A database that is not there yet (a workstation that starts before
        // its database server) is tried again as a lost connection is.
        m_lost = true;
        pauseDatabase(false, (std::string("Connect to ") + m_connection->dataSource() + " failed").c_str(),
                      m_connection->sqlState(), m_connection->errorMessage());
        return false;
    }
    m_dbc = m_connection->connectionHandle();
    return prepareConnection();
}

bool COdbcSession::prepareConnection()
{
    char dbmsName[64] = {};
    SQLSMALLINT dbmsLength = 0;
    m_sqliteDriver = Succeeded(SQLGetInfo(static_cast<SQLHDBC>(m_dbc), SQL_DBMS_NAME, dbmsName, sizeof dbmsName,
                                          &dbmsLength)) &&
                     std::strncmp(dbmsName, "SQLite", 6) == 0;
    if (m_prepare && !m_prepare()) {
        return false;
    }
    m_prepared = true;
    return true;
}

void COdbcSession::close()
{
    freeStatement();
    m_connection.reset();
    m_dbc = nullptr;
}

bool COdbcSession::databaseName(char* name, std::size_t size)
{
    SQLSMALLINT length = 0;
    m_rc = SQLGetInfo(static_cast<SQLHDBC>(m_dbc), SQL_DATABASE_NAME, name, static_cast<SQLSMALLINT>(size), &length);
    return m_rc == SQL_SUCCESS && name[0] != '\0';
}

// ---------------------------------------------------------------------------
// Statement steps

bool COdbcSession::allocStatement()
{
    m_columnCount = 0;
    m_nullReported = false;
    m_cutReported = false;
    m_columnCut = false;
    m_stmt = nullptr;
    if (!databaseReady()) {
        m_rc = SQL_INVALID_HANDLE;  // reported as for a missing connection
        return false;
    }
    SQLHSTMT statement = SQL_NULL_HSTMT;
    m_rc = SQLAllocHandle(SQL_HANDLE_STMT, static_cast<SQLHDBC>(m_dbc), &statement);
    m_stmt = Succeeded(m_rc) ? statement : nullptr;
    if (m_stmt != nullptr) {
        // A driver without statement timeouts is no reason to fail.
        SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(StatementTimeoutSeconds), 0);
    }
    return m_stmt != nullptr;
}

bool COdbcSession::bindColumn(int column, const Column& bound)
{
    if (column < 1 || column > MaxColumns) {
        m_rc = SQL_ERROR;
        return false;
    }
    m_columns[column - 1] = bound;
    m_columnCount = std::max(m_columnCount, column);
    m_rc = SQLBindCol(static_cast<SQLHSTMT>(m_stmt), static_cast<SQLUSMALLINT>(column),
                      static_cast<SQLSMALLINT>(bound.cType), bound.target, static_cast<SQLLEN>(bound.size),
                      &m_indicators[column - 1]);
    return Succeeded(m_rc);
}

bool COdbcSession::execute(const Statement& statement)
{
    m_shown = statement.shown;
    if (statement.texts.size() > static_cast<std::size_t>(MaxTexts)) {
        m_rc = SQL_ERROR;
        return false;
    }
    for (std::size_t n = 0; n < statement.texts.size(); ++n) {
        const std::string& text = statement.texts[n];
        m_textLengths[n] = static_cast<SQLLEN>(text.size());
        m_rc = SQLBindParameter(static_cast<SQLHSTMT>(m_stmt), static_cast<SQLUSMALLINT>(n + 1), SQL_PARAM_INPUT,
                                SQL_C_CHAR, SQL_VARCHAR, std::max<SQLULEN>(text.size(), 1), 0,
                                const_cast<char*>(text.c_str()), static_cast<SQLLEN>(text.size()), &m_textLengths[n]);
        if (!Succeeded(m_rc)) {
            return false;
        }
    }
    m_rc = SQLExecDirect(static_cast<SQLHSTMT>(m_stmt),
                         reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement.sql.c_str())),
                         static_cast<SQLINTEGER>(statement.sql.size()));
    if (!Succeeded(m_rc)) {
        checkUnavailable();
        return false;
    }
    if (m_pauseSeconds != 0) {
        m_pauseSeconds = 0;
        m_dump.write("Database available again\n");
    }
    return true;
}

int COdbcSession::resultColumnCount()
{
    SQLSMALLINT columns = 0;
    m_rc = SQLNumResultCols(static_cast<SQLHSTMT>(m_stmt), &columns);
    return Succeeded(m_rc) ? columns : -1;
}

COdbcSession::Fetched COdbcSession::fetch()
{
    m_rc = SQLFetch(static_cast<SQLHSTMT>(m_stmt));
    if (Succeeded(m_rc)) {
        checkColumns();
    } else if (m_rc == SQL_ERROR) {
        checkUnavailable();
    }
    switch (m_rc) {
    case SQL_SUCCESS:
        return Fetched::Row;
    case SQL_SUCCESS_WITH_INFO:
        return Fetched::RowWithInfo;
    case SQL_NO_DATA:
        return Fetched::NoRow;
    default:
        return Fetched::Failed;
    }
}

void COdbcSession::checkColumns()
{
    std::string nullColumns;
    std::string cutColumns;
    m_columnCut = false;
    for (int column = 0; column < m_columnCount; ++column) {
        const Column& bound = m_columns[column];
        if (bound.target == nullptr) {
            continue;
        }
        const SQLLEN indicator = m_indicators[column];
        if (indicator == SQL_NULL_DATA) {
            // The driver leaves the buffer as it was (the previous row's value).
            if (bound.cType == SQL_C_CHAR) {
                static_cast<char*>(bound.target)[0] = '\0';
            } else {
                std::memset(bound.target, 0, static_cast<std::size_t>(bound.size));
            }
            nullColumns += (nullColumns.empty() ? "" : ",") + std::to_string(column + 1);
        } else if (bound.cType == SQL_C_CHAR && (indicator == SQL_NO_TOTAL || indicator >= bound.size)) {
            // A text longer than its buffer arrives cut, with success: what is
            // left of a folder would be another folder.
            m_columnCut = true;
            cutColumns += (cutColumns.empty() ? "" : ",") + std::to_string(column + 1);
        }
    }
    if (!nullColumns.empty() && !m_nullReported) {
        m_nullReported = true;
        m_dump.write(std::to_string(StepNullColumn) + " (NULL in column " + nullColumns + "): " + m_shown + "\n");
    }
    if (!cutColumns.empty() && !m_cutReported) {
        m_cutReported = true;
        m_dump.write(std::to_string(StepCutColumn) + " (text longer than its buffer in column " + cutColumns +
                     "): " + m_shown + "\n");
    }
}

void COdbcSession::freeStatement()
{
    if (m_stmt != nullptr) {
        SQLFreeHandle(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(m_stmt));
        m_stmt = nullptr;
    }
    m_columnCount = 0;
}

bool COdbcSession::runStatement(const Statement& statement, std::initializer_list<Column> columns, int bindStepCode)
{
    if (!allocStatement()) {
        reportFailure(StepAllocate, statement);
        return false;
    }
    int column = 1;
    for (const Column& bound : columns) {
        if (!bindColumn(column++, bound)) {
            reportFailure(bindStepCode, statement);
            return false;
        }
    }
    if (!execute(statement)) {
        reportFailure(StepExecute, statement);
        return false;
    }
    return true;
}

void COdbcSession::reportFailure(int stepCode, const Statement& statement)
{
    char prefix[64];
    if (m_rc == SQL_NO_DATA) {
        std::snprintf(prefix, sizeof prefix, "%d: (SQL_NO_DATA): ", stepCode);
    } else {
        std::snprintf(prefix, sizeof prefix, "%d (%d): ", stepCode, m_rc);
    }
    // One write, so that a line never spans two dump files.
    m_dump.write(prefix + statement.shown + "\n");
    freeStatement();
}

// ---------------------------------------------------------------------------
// Availability

bool COdbcSession::databaseReady()
{
    if (!m_paused) {
        return m_dbc != nullptr;
    }
    if (std::chrono::steady_clock::now() < m_retryAt) {
        return false;
    }
    if (m_lost) {
        if (m_connection->connect() != 0) {
            pauseDatabase(false, (std::string("Reconnect to ") + m_connection->dataSource() + " failed").c_str(),
                          m_connection->sqlState(), m_connection->errorMessage());
            return false;
        }
        m_dbc = m_connection->connectionHandle();
        m_lost = false;
        if (!m_prepared) {
            // The first connect failed: what it would have prepared is prepared now.
            m_paused = false;
            if (!prepareConnection()) {
                return false;
            }
        }
    }
    // The statement decides: running ends the outage, failing starts the next pause.
    m_paused = false;
    return true;
}

void COdbcSession::checkUnavailable()
{
    if (m_rc != SQL_ERROR || m_stmt == nullptr) {
        return;
    }
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLCHAR message[512] = {};
    SQLSMALLINT length = 0;
    if (!Succeeded(SQLGetDiagRec(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(m_stmt), 1, state, &nativeError, message,
                                 sizeof message, &length))) {
        return;
    }
    const auto text = [](const SQLCHAR* bytes) { return reinterpret_cast<const char*>(bytes); };
    const Unavailable unavailable = ClassifyFailure(text(state), nativeError, text(message), m_sqliteDriver);
    if (unavailable != Unavailable::No) {
        pauseDatabase(unavailable == Unavailable::Lost, "Database unavailable", text(state), text(message));
    }
}

void COdbcSession::pauseDatabase(bool lost, const char* what, const char* state, const char* message)
{
    m_pauseSeconds = m_pauseSeconds == 0 ? FirstRetrySeconds : std::min(2 * m_pauseSeconds, LastRetrySeconds);
    m_retryAt = std::chrono::steady_clock::now() + std::chrono::seconds(m_pauseSeconds);
    m_paused = true;
    if (lost && !m_lost) {
        // The handles of a dead connection are of no further use: release them now.
        m_lost = true;
        freeStatement();
        m_connection->disconnect();
        m_dbc = nullptr;
    }
    m_dump.write(std::string(what) + " (" + state + "): " + OneLine(message) + "; next attempt in " +
                 std::to_string(m_pauseSeconds) + " s\n");
}
