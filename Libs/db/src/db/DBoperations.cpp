#include "db/DBoperations.h"

#include "platform/Paths.h"

#include <QtGlobal>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>
#include <set>
#include <type_traits>
#include <vector>

namespace {

constexpr int kStepAllocate = 506;
constexpr int kStepBind = 508;
constexpr int kStepExecute = 505;
constexpr int kStepColumnCount = 509;
constexpr int kStepNullColumn = 510;
constexpr int kStepCutColumn = 511;

// The header keeps ODBC out; its indicators and lengths are SQLLEN.
static_assert(std::is_same_v<SQLLEN, long>);

constexpr int kMsPerDay = 86400000;
constexpr SQLUINTEGER kNoId = static_cast<SQLUINTEGER>(-1);

bool Succeeded(int rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The dump-file names held by the live database objects of this process. Two
// objects of one name (several "Unknown" ones while the database is down, say)
// would write, rotate and delete each other's dump files; the second one to
// write gets the name with "_2" (or the next free number) added instead.
// Never destroyed: objects may go at any time up to the process's end.
struct DumpNames {
    std::mutex mutex;
    std::set<std::string> held;
};

DumpNames& HeldDumpNames()
{
    static DumpNames* const names = new DumpNames;
    return *names;
}

std::string ClaimDumpName(const std::string& wanted)
{
    DumpNames& names = HeldDumpNames();
    std::lock_guard<std::mutex> lock(names.mutex);
    std::string name = wanted;
    for (int n = 2; !names.held.insert(name).second; ++n) {
        name = wanted + "_" + std::to_string(n);
    }
    return name;
}

void ReleaseDumpName(const std::string& name)
{
    if (name.empty()) {
        return;
    }
    DumpNames& names = HeldDumpNames();
    std::lock_guard<std::mutex> lock(names.mutex);
    names.held.erase(name);
}

// Formats a statement; the result has whatever length the values need.
std::string Sql(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Sql(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

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

// A diagnostic message on one line: each run of blanks and line ends becomes
// one space (none before a semicolon), a trailing separator goes.
std::string OneLine(const char* text)
{
    std::string line;
    bool blank = false;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p))) {
            blank = true;
            continue;
        }
        if (blank && *p != ';' && !line.empty()) {
            line += ' ';
        }
        blank = false;
        line += *p;
    }
    while (!line.empty() && line.back() == ';') {
        line.pop_back();
    }
    return line;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

enum class Unavailable { No, Busy, Lost };

// What a failed call says about the database. Measured with psqlODBC 13: a
// server stopped or restarted under a connection gives 57P01 ("terminating
// connection due to administrator command", "The connection is down") on the
// first statement and 08S01 ("... the connection lost") after it; a killed
// server process 08S01; a connect to a stopped server or one that does not
// answer 08001; a statement the server ends after the statement timeout 57014.
// The SQLite driver reports a locked file as HY000 with SQLite's code 5 (busy)
// or 6 (locked) as native error.
Unavailable ClassifyFailure(const char* state, int nativeError, const char* message, bool sqliteDriver)
{
    const std::string code(state);
    if (code.compare(0, 2, "08") == 0 || code == "57P01" || code == "57P02" || code == "57P03" ||
        code == "HYT01") {
        return Unavailable::Lost;
    }
    if (code == "HYT00" || code == "57014") {
        return Unavailable::Busy;
    }
    if (sqliteDriver && (code == "HY000" || code == "S1000")) {
        switch (nativeError) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return Unavailable::Busy;
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
            return Unavailable::Lost;
        default:
            return Unavailable::No;
        }
    }
    if (code == "HY000" || code == "S1000") {
        // Some drivers and versions report a dead connection without a class 08 state.
        std::string lower(message);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const char* part : { "connection has been lost", "connection is down", "connection lost",
                                  "closed the connection", "could not receive data from server",
                                  "could not send data to server", "no connection to the server" }) {
            if (Contains(lower, part)) {
                return Unavailable::Lost;
            }
        }
    }
    return Unavailable::No;
}

// Copies at most size - 1 bytes and terminates.
void CopyText(char* target, std::size_t size, const char* text)
{
    const std::size_t length = strnlen(text, size - 1);
    std::memcpy(target, text, length);
    target[length] = '\0';
}

}  // namespace

CDBoperations::Statement::Statement(std::string parameterised, std::initializer_list<const char*> values)
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

CDBoperations::CDBoperations(const char* name) : m_translator("translate.bin")
{
    setName(name);
}

CDBoperations::~CDBoperations()
{
    freeStatement();
    m_connection.reset();
    m_dbc = nullptr;
    if (m_sqlite != nullptr) {
        // The SQLite library itself stays initialised: the SQLite ODBC driver and
        // the token store use the same library in this process.
        sqlite3_close(m_sqlite);
        m_sqlite = nullptr;
    }
    if (m_dumpFile != nullptr) {
        std::fclose(m_dumpFile);
        m_dumpFile = nullptr;
    }
    ReleaseDumpName(m_dumpName);
}

void CDBoperations::setName(const char* name)
{
    CopyText(m_name, sizeof m_name, name != nullptr ? name : "");
}

// ---------------------------------------------------------------------------
// Statement steps

bool CDBoperations::allocStatement()
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

bool CDBoperations::bindColumn(int column, int cType, void* target, long size)
{
    if (column < 1 || column > MaxColumns) {
        m_rc = SQL_ERROR;
        return false;
    }
    m_columns[column - 1] = BoundColumn { cType, target, size };
    m_columnCount = std::max(m_columnCount, column);
    m_rc = SQLBindCol(static_cast<SQLHSTMT>(m_stmt), static_cast<SQLUSMALLINT>(column),
                      static_cast<SQLSMALLINT>(cType), target, static_cast<SQLLEN>(size), &m_indicators[column - 1]);
    return Succeeded(m_rc);
}

bool CDBoperations::execute(const Statement& statement)
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
        writeDebug("Database available again\n");
    }
    return true;
}

int CDBoperations::fetch()
{
    m_rc = SQLFetch(static_cast<SQLHSTMT>(m_stmt));
    if (Succeeded(m_rc)) {
        checkColumns();
    } else if (m_rc == SQL_ERROR) {
        checkUnavailable();
    }
    return m_rc;
}

void CDBoperations::checkColumns()
{
    std::string nullColumns;
    std::string cutColumns;
    m_columnCut = false;
    for (int column = 0; column < m_columnCount; ++column) {
        const BoundColumn& bound = m_columns[column];
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
        writeDebug(
            (std::to_string(kStepNullColumn) + " (NULL in column " + nullColumns + "): " + m_shown + "\n").c_str());
    }
    if (!cutColumns.empty() && !m_cutReported) {
        m_cutReported = true;
        writeDebug((std::to_string(kStepCutColumn) + " (text longer than its buffer in column " + cutColumns +
                    "): " + m_shown + "\n")
                       .c_str());
    }
}

void CDBoperations::freeStatement()
{
    if (m_stmt != nullptr) {
        SQLFreeHandle(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(m_stmt));
        m_stmt = nullptr;
    }
    m_columnCount = 0;
}

bool CDBoperations::runStatement(const Statement& statement, std::initializer_list<BoundColumn> columns,
                                 int bindStepCode)
{
    if (!allocStatement()) {
        reportFailure(kStepAllocate, statement);
        return false;
    }
    int column = 1;
    for (const BoundColumn& bound : columns) {
        if (!bindColumn(column++, bound.cType, bound.target, bound.size)) {
            reportFailure(bindStepCode, statement);
            return false;
        }
    }
    if (!execute(statement)) {
        reportFailure(kStepExecute, statement);
        return false;
    }
    return true;
}

bool CDBoperations::runStatement(const Statement& statement, std::initializer_list<BoundColumn> columns)
{
    return runStatement(statement, columns, kStepBind);
}

void CDBoperations::reportFailure(int stepCode, const Statement& statement)
{
    if (m_rc == SQL_NO_DATA) {
        std::snprintf(m_errorPrefix, sizeof m_errorPrefix, "%d: (SQL_NO_DATA): ", stepCode);
    } else {
        std::snprintf(m_errorPrefix, sizeof m_errorPrefix, "%d (%d): ", stepCode, m_rc);
    }
    // One write, so that a line never spans two dump files.
    writeDebug((m_errorPrefix + statement.shown + "\n").c_str());
    freeStatement();
}

// ---------------------------------------------------------------------------
// Availability

bool CDBoperations::databaseReady()
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
        if (!m_setUp) {
            // The first connect failed: what it would have prepared is prepared now.
            m_paused = false;
            if (!setUpConnection()) {
                return false;
            }
        }
    }
    // The statement decides: running ends the outage, failing starts the next pause.
    m_paused = false;
    return true;
}

void CDBoperations::checkUnavailable()
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

void CDBoperations::pauseDatabase(bool lost, const char* what, const char* state, const char* message)
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
    writeDebug((std::string(what) + " (" + state + "): " + OneLine(message) + "; next attempt in " +
                std::to_string(m_pauseSeconds) + " s\n")
                   .c_str());
}

// ---------------------------------------------------------------------------
// Dump file

std::string CDBoperations::dumpPathOf(int index) const
{
    char path[sizeof m_dumpPath];
    std::snprintf(path, sizeof path, "c:\\Temp\\db_%s_%d.txt", m_dumpName.c_str(), index);
    return path;
}

bool CDBoperations::openDumpFile()
{
    if (m_dumpName.empty()) {
        // Chosen once, at the first report: the files of an object keep one name.
        m_dumpName = ClaimDumpName(m_name);
    }
    auto exists = [](const std::string& path) {
        std::FILE* probe = std::fopen(platform::NativePath(path).c_str(), "r");
        if (probe != nullptr) {
            std::fclose(probe);
        }
        return probe != nullptr;
    };

    // The newest file is the one before the first gap.
    int chosen = 0;
    while (chosen < DumpFileCount && exists(dumpPathOf(chosen))) {
        ++chosen;
    }
    if (chosen == DumpFileCount) {
        chosen = 0;
        std::remove(platform::NativePath(dumpPathOf(0)).c_str());
    }
    return openDumpFileAt(chosen);
}

bool CDBoperations::openDumpFileAt(int index)
{
    const std::string path = dumpPathOf(index);
    m_dumpFile = std::fopen(platform::NativePath(path).c_str(), "w");
    if (m_dumpFile == nullptr) {
        return false;
    }
    CopyText(m_dumpPath, sizeof m_dumpPath, path.c_str());
    m_dumpIndex = index;
    m_dumpSize = 0;
    // Deleting the file after the new one leaves a gap behind it for the next
    // object of this name.
    std::remove(platform::NativePath(dumpPathOf((index + 1) % DumpFileCount)).c_str());
    return true;
}

int CDBoperations::writeDebug(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    const std::size_t length = std::strlen(text);
    if (m_dumpFile != nullptr && m_dumpSize > 0 && m_dumpSize + length > DumpFileLimit) {
        // A full file gives way to the next of the rotation (which is the gap).
        std::fclose(m_dumpFile);
        m_dumpFile = nullptr;
        if (!openDumpFileAt((m_dumpIndex + 1) % DumpFileCount)) {
            return 0;
        }
    }
    if (m_dumpFile == nullptr && !openDumpFile()) {
        return 0;
    }
    std::fputs(text, m_dumpFile);
    std::fflush(m_dumpFile);
    m_dumpSize += length;
    return 0;
}

// ---------------------------------------------------------------------------
// Connection

int CDBoperations::connect(const char* dataSource, const char* user, const char* password, const char* name)
{
    if (dataSource == nullptr || user == nullptr || password == nullptr) {
        return -1;
    }
    freeStatement();
    m_dbc = nullptr;
    m_paused = false;
    m_lost = false;
    m_setUp = false;
    m_pauseSeconds = 0;
    m_connection = std::make_unique<CDBconnection>();
    if (m_connection->setDataSource(dataSource) != 0 || m_connection->setUser(user) != 0 ||
        m_connection->setPassword(password) != 0) {
        m_connection.reset();
        return -1;
    }
    if (name != nullptr) {
        setName(name);
    }
    if (m_connection->connect() != 0) {
        m_rc = m_connection->lastReturnCode();
        // A database that is not there yet (a workstation that starts before
        // its database server) is tried again as a lost connection is.
        m_lost = true;
        pauseDatabase(false, (std::string("Connect to ") + dataSource + " failed").c_str(), m_connection->sqlState(),
                      m_connection->errorMessage());
        return -1;
    }
    m_dbc = m_connection->connectionHandle();
    return setUpConnection() ? 0 : -1;
}

bool CDBoperations::setUpConnection()
{
    if (m_dbc == nullptr) {
        return false;
    }
    char dbmsName[64] = {};
    SQLSMALLINT dbmsLength = 0;
    m_sqliteDriver = Succeeded(SQLGetInfo(static_cast<SQLHDBC>(m_dbc), SQL_DBMS_NAME, dbmsName, sizeof dbmsName,
                                          &dbmsLength)) &&
                     std::strncmp(dbmsName, "SQLite", 6) == 0;
    buildEscapeTable();
    m_language = 3;

    // Every known message number starts without a remembered arrival.
    const std::string statement = "SELECT number FROM messages WHERE lang=3 ORDER BY number";
    SQLUINTEGER number = 0;
    if (!runStatement(statement, { { SQL_C_ULONG, &number, sizeof number } })) {
        return false;
    }
    while (fetch() == SQL_SUCCESS) {
        m_lastArrival[static_cast<int>(number)] = 0;
        m_lastText[static_cast<int>(number)] = " ";
    }
    freeStatement();

    m_duplicateWindowMs = DuplicateWindowMs;
    openSqlite();
    m_setUp = true;
    return true;
}

void CDBoperations::openSqlite()
{
    if (m_sqlite != nullptr) {
        sqlite3_close(m_sqlite);
        m_sqlite = nullptr;
    }
    char databaseName[1000] = {};
    SQLSMALLINT length = 0;
    m_rc = SQLGetInfo(static_cast<SQLHDBC>(m_dbc), SQL_DATABASE_NAME, databaseName, sizeof databaseName, &length);
    if (m_rc != SQL_SUCCESS || databaseName[0] == '\0') {
        return;
    }

    // The SQLite ODBC driver names the database file here; other drivers name a
    // server database, which the open below (without SQLITE_OPEN_CREATE) cannot
    // find as a file and so never creates.
    sqlite3_initialize();
    sqlite3* database = nullptr;
    if (sqlite3_open_v2(databaseName, &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
        std::fprintf(stderr, "SQLite specific, %s: Can't open database %s: %s\n", m_name, databaseName,
                     sqlite3_errmsg(database));
        sqlite3_close(database);
        return;
    }
    std::fprintf(stderr, "SQLite specific, %s: Opened database %s successfully\n", m_name, databaseName);
    m_sqlite = database;
    if (sqlite3_busy_timeout(database, 10000) != SQLITE_OK) {
        std::fprintf(stderr, "SQLite specific, %s: Can't set timeout for database %s: %s\n", m_name, databaseName,
                     sqlite3_errmsg(database));
    } else {
        std::fprintf(stderr, "SQLite specific, %s: Setting timeout %dms for database %s\n", m_name, 10000,
                     databaseName);
    }
}

// ---------------------------------------------------------------------------
// Queries

char* CDBoperations::getMessageText(int number, int language, bool* found)
{
    if (found != nullptr) {
        *found = false;
    }
    const std::string statement = Sql("select mess from messages where lang = %d and number = %d", language, number);
    char text[MessageTextSize] = {};
    if (!runStatement(statement, { { SQL_C_CHAR, text, sizeof text } })) {
        return nullptr;
    }
    const int rc = fetch();
    if (rc == SQL_ERROR) {
        // A failed read (the database gone, say) is no missing text: the caller
        // must not keep the error text in place of the real one.
        reportFailure(kStepExecute, statement);
        return nullptr;
    }
    // A text longer than the block comes back cut (and is reported as such);
    // only a missing row gives the error text.
    const bool exists = Succeeded(rc);
    if (!exists) {
        std::snprintf(text, sizeof text, "**** Error retrieving message no: %d from database ****\r\n", number);
    }
    if (found != nullptr) {
        *found = exists;
    }
    freeStatement();

    char* result = static_cast<char*>(std::calloc(MessageTextSize, 1));
    if (result == nullptr) {
        return nullptr;
    }
    if (language == 3) {
        CopyText(result, MessageTextSize, m_translator.translate(text));
    } else {
        CopyText(result, MessageTextSize, unescapeText(escapeText(text).c_str()).c_str());
    }
    return result;
}

int CDBoperations::getMessageType(int number, int* type, int* typeLogging)
{
    if (type != nullptr) {
        *type = 0;
    }
    if (typeLogging != nullptr) {
        *typeLogging = 0;
    }
    const std::string statement = Sql("select type,typeLogging from messages where number = %d", number);
    SQLUINTEGER typeValue = 0;
    SQLUINTEGER typeLoggingValue = 0;
    // This query reports a failed binding with the allocation code.
    if (!runStatement(statement,
                      { { SQL_C_ULONG, &typeValue, sizeof typeValue },
                        { SQL_C_ULONG, &typeLoggingValue, sizeof typeLoggingValue } },
                      kStepAllocate)) {
        return -1;
    }
    if (!Succeeded(fetch())) {
        reportFailure(kStepExecute, statement);
        return -1;
    }
    freeStatement();
    if (type != nullptr) {
        *type = static_cast<int>(typeValue);
    }
    if (typeLogging != nullptr) {
        *typeLogging = static_cast<int>(typeLoggingValue);
    }
    return 0;
}

int CDBoperations::getPid(int* pid, const char* processName)
{
    const Statement statement("select pid from process where processname = ?", { processName });
    SQLUINTEGER value = 0;
    if (!runStatement(statement, { { SQL_C_ULONG, &value, sizeof value } })) {
        return -1;
    }
    const int rc = fetch();
    if (!Succeeded(rc) && rc != SQL_NO_DATA) {
        reportFailure(kStepExecute, statement);
        return -1;
    }
    freeStatement();
    if (pid != nullptr) {
        *pid = static_cast<int>(value);
    }
    return 0;
}

char* CDBoperations::getProcessName(int pid)
{
    const std::string statement = Sql("select processname from process where pid=%d", pid);
    char name[ProcessNameSize] = {};
    if (!allocStatement() || !bindColumn(1, SQL_C_CHAR, name, sizeof name) || !execute(statement)) {
        reportFailure(kStepExecute, statement);
        return nullptr;
    }
    char* result = nullptr;
    if (fetch() == SQL_SUCCESS) {
        result = static_cast<char*>(std::calloc(ProcessNameSize, 1));
        if (result != nullptr) {
            CopyText(result, ProcessNameSize, name);
        }
    }
    freeStatement();
    return result;
}

int CDBoperations::getVersion(int* version, char** versionName)
{
    if (version != nullptr) {
        *version = 0;
    }
    if (versionName != nullptr) {
        *versionName = nullptr;
    }
    if (m_dbc == nullptr && !m_lost) {
        return -1;
    }
    const std::string statement = "SELECT current_version,current_versionname FROM trx_version";
    SQLUINTEGER number = 0;
    char name[200] = {};
    if (!runStatement(statement, { { SQL_C_ULONG, &number, sizeof number }, { SQL_C_CHAR, name, sizeof name } })) {
        return -1;
    }
    SQLSMALLINT columns = 0;
    m_rc = SQLNumResultCols(static_cast<SQLHSTMT>(m_stmt), &columns);
    if (!Succeeded(m_rc)) {
        reportFailure(kStepColumnCount, statement);
        return -1;
    }
    // The bound variables keep the last row fetched.
    bool anyRow = false;
    while (Succeeded(fetch())) {
        anyRow = true;
    }
    if (!anyRow) {
        // A database without a version row is not set up: a failure, not version 0.
        reportFailure(kStepExecute, statement);
        return -1;
    }
    freeStatement();

    char* copy = new (std::nothrow) char[std::strlen(name) + 1];
    if (copy == nullptr) {
        return -1;
    }
    std::strcpy(copy, name);
    if (version != nullptr) {
        *version = static_cast<int>(number);
    }
    if (versionName != nullptr) {
        *versionName = copy;
    } else {
        delete[] copy;
    }
    return 0;
}

int CDBoperations::findTypedId(const char* table, std::uint32_t valueId)
{
    // A failed execution or an empty result only means "not in this table"; the
    // statement is then released and a new one allocated for the next query.
    const std::string statement = Sql("select id from %s where id ='%i'", table, static_cast<int>(valueId));
    SQLUINTEGER id = kNoId;
    if (!bindColumn(1, SQL_C_ULONG, &id, sizeof id)) {
        reportFailure(kStepBind, statement);
        return -1;
    }
    execute(statement);
    const bool found = m_rc == SQL_SUCCESS && Succeeded(fetch()) && id == valueId;
    freeStatement();
    if (!allocStatement()) {
        reportFailure(kStepAllocate, statement);
        return -1;
    }
    return found ? 1 : 0;
}

int CDBoperations::getToken(const char* tokenName, TokenValue* value)
{
    qDebug("Get token %s", tokenName != nullptr ? tokenName : "");

    const Statement statement("select value_id from token_value where token=upper(?)", { tokenName });
    SQLUINTEGER valueId = kNoId;
    if (!runStatement(statement, { { SQL_C_ULONG, &valueId, sizeof valueId } })) {
        return -1;
    }
    const int rc = fetch();
    if (!Succeeded(rc)) {
        if (rc == SQL_NO_DATA) {
            freeStatement();  // an unknown token is no failure of the database
        } else {
            reportFailure(kStepExecute, statement);
        }
        return -1;
    }
    freeStatement();

    // Which typed table holds the value: floating point wins over integer over text.
    if (!allocStatement()) {
        reportFailure(kStepAllocate, "");
        return -1;
    }
    static const char* const kTables[] = { "float_values", "integer_values", "varchar_values" };
    int matchedTable = -1;
    for (int table = 0; table < 3; ++table) {
        const int found = findTypedId(kTables[table], valueId);
        if (found < 0) {
            return -1;
        }
        if (found > 0 && matchedTable < 0) {
            matchedTable = table;
        }
    }
    if (matchedTable < 0) {
        freeStatement();
        return 0;
    }

    double floatValue = 0;
    SQLUINTEGER intValue = 0;
    char textValue[sizeof value->textValue] = {};
    std::string valueStatement;
    bool bound = false;
    switch (matchedTable) {
    case 0:
        valueStatement = Sql("select value from float_values where id='%i'", static_cast<int>(valueId));
        bound = bindColumn(1, SQL_C_DOUBLE, &floatValue, sizeof floatValue);
        break;
    case 1:
        valueStatement = Sql("select value from integer_values where id='%i'", static_cast<int>(valueId));
        bound = bindColumn(1, SQL_C_ULONG, &intValue, sizeof intValue);
        break;
    default:
        valueStatement = Sql("select value from varchar_values where id='%i'", static_cast<int>(valueId));
        bound = bindColumn(1, SQL_C_CHAR, textValue, sizeof textValue);
        break;
    }
    if (!bound) {
        reportFailure(kStepBind, valueStatement);
        return -1;
    }
    if (!execute(valueStatement)) {
        reportFailure(kStepExecute, valueStatement);
        return -1;
    }
    fetch();
    freeStatement();

    if (value != nullptr) {
        switch (matchedTable) {
        case 0:
            value->type = TokenValue::Float;
            value->floatValue = floatValue;
            break;
        case 1:
            value->type = TokenValue::Integer;
            value->intValue = static_cast<std::int32_t>(intValue);
            break;
        default:
            value->type = TokenValue::Text;
            CopyText(value->textValue, sizeof value->textValue, textValue);
            break;
        }
    }
    return 0;
}

int CDBoperations::getIntToken(const char* tokenName)
{
    TokenValue value;
    value.type = TokenValue::Integer;
    value.intValue = 0;
    if (getToken(tokenName, &value) != 0) {
        return 0;
    }
    switch (value.type) {
    case TokenValue::Float:
        if (!std::isfinite(value.floatValue)) {
            return 0;
        }
        if (value.floatValue >= static_cast<double>(std::numeric_limits<int>::max())) {
            return std::numeric_limits<int>::max();
        }
        if (value.floatValue <= static_cast<double>(std::numeric_limits<int>::min())) {
            return std::numeric_limits<int>::min();
        }
        return static_cast<int>(value.floatValue);
    case TokenValue::Text:
        return static_cast<int>(std::strtol(value.textValue, nullptr, 10));
    default:
        return value.intValue;
    }
}

int CDBoperations::getSockets(const char* processName, SocketRecord** records, int* count)
{
    if (records != nullptr) {
        *records = nullptr;
    }
    if (count != nullptr) {
        *count = 0;
    }
    const Statement statement("select id, ip, port, udp_tcp, read_write, server_client, pid from process_socket_v "
                              "where process_socket_v.processname=upper(?)",
                              { processName });
    SocketRecord row {};
    if (!runStatement(statement, { { SQL_C_ULONG, &row.id, sizeof row.id },
                                   { SQL_C_CHAR, row.ip, sizeof row.ip },
                                   { SQL_C_ULONG, &row.port, sizeof row.port },
                                   { SQL_C_ULONG, &row.udp_tcp, sizeof row.udp_tcp },
                                   { SQL_C_ULONG, &row.read_write, sizeof row.read_write },
                                   { SQL_C_ULONG, &row.server_client, sizeof row.server_client },
                                   { SQL_C_ULONG, &row.pid, sizeof row.pid } })) {
        return -1;
    }
    std::vector<SocketRecord> rows;
    while (Succeeded(fetch())) {
        rows.push_back(row);
    }
    freeStatement();

    if (rows.empty()) {
        return 0;
    }
    auto* array = static_cast<SocketRecord*>(std::calloc(rows.size(), sizeof(SocketRecord)));
    if (array == nullptr) {
        return -1;
    }
    std::memcpy(array, rows.data(), rows.size() * sizeof(SocketRecord));
    if (records != nullptr) {
        *records = array;
    } else {
        std::free(array);
    }
    if (count != nullptr) {
        *count = static_cast<int>(rows.size());
    }
    return 0;
}

int CDBoperations::getLoggerParameters(const char* userName, const char* processName, LoggerParameters* parameters)
{
    const Statement statement(
        "SELECT logger, logging_enabled, logging_selected, dir_value_enabled, dir_value, file_value, "
        "browse_enabled, browse_selected, line_interval_value_enabled, line_interval_value, apply_enabled, "
        "apply_selected FROM qhv_param, users, process WHERE users.name = ? AND users.id = qhv_param.id "
        "AND qhv_param.logger = process.pid AND process.processname = ? ",
        { userName, processName });
    LoggerParameters row {};
    const bool executed = runStatement(statement, {
        { SQL_C_ULONG, &row.logger, sizeof row.logger },
        { SQL_C_ULONG, &row.logging_enabled, sizeof row.logging_enabled },
        { SQL_C_ULONG, &row.logging_selected, sizeof row.logging_selected },
        { SQL_C_ULONG, &row.dir_value_enabled, sizeof row.dir_value_enabled },
        { SQL_C_CHAR, row.dir_value, sizeof row.dir_value },
        { SQL_C_CHAR, row.file_value, sizeof row.file_value },
        { SQL_C_ULONG, &row.browse_enabled, sizeof row.browse_enabled },
        { SQL_C_ULONG, &row.browse_selected, sizeof row.browse_selected },
        { SQL_C_ULONG, &row.line_interval_value_enabled, sizeof row.line_interval_value_enabled },
        { SQL_C_CHAR, row.line_interval_value, 10 },
        { SQL_C_ULONG, &row.apply_enabled, sizeof row.apply_enabled },
        { SQL_C_ULONG, &row.apply_selected, sizeof row.apply_selected },
    });
    if (!executed) {
        return -1;
    }
    if (!Succeeded(fetch())) {
        reportFailure(kStepExecute, statement);
        return -1;
    }
    freeStatement();
    if (m_columnCut) {
        return -1;  // a cut folder or template is no setting (the dump file says which column)
    }
    if (parameters != nullptr) {
        *parameters = row;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Arrived messages

int CDBoperations::insertArrivedMessage(int date, int time, int milliseconds, int number, const char* text,
                                        bool noText)
{
    const char* newText = text != nullptr ? text : "";
    const int hours = time / 10000;
    const int minutes = time / 100 % 100;
    const int seconds = time % 100;
    int ms = (hours * 3600 + minutes * 60 + seconds) * 1000 + milliseconds;
    if (ms == m_lastInsertedMs) {
        ++ms;  // two arrivals of one object never share a millisecond ...
    }
    if (ms >= kMsPerDay) {
        ms -= 1;  // ... except at the last millisecond of the day
    }
    if (ms <= 0) {
        // 0 is the answer "suppressed" and the mark "no arrival remembered", so an
        // arrival at exactly midnight is stored one millisecond later.
        ms = 1;
    }

    // What the suppression knew before: an arrival that cannot be stored is
    // forgotten again, so that its repeat is stored once the database is back.
    const int previousInsertedMs = m_lastInsertedMs;
    const auto last = m_lastArrival.find(number);
    const bool hadArrival = last != m_lastArrival.end();
    const int previousArrival = hadArrival ? last->second : 0;
    const auto lastText = m_lastText.find(number);
    const bool hadText = lastText != m_lastText.end();
    const std::string previousText = hadText ? lastText->second : " ";

    if (last != m_lastArrival.end() && last->second != 0) {
        if (std::abs(last->second - ms) < m_duplicateWindowMs) {
            if (noText) {
                return 0;
            }
            if (previousText == newText) {
                return 0;
            }
            m_lastText[number] = newText;
        }
    } else if (!noText) {
        m_lastText[number] = newText;
    }

    m_lastInsertedMs = ms;
    m_lastArrival[number] = ms;
    const std::string statement = Sql(
        "INSERT INTO arrivedMessages(dateYYYYMMDD,millisecSinceMidnight,number) values (%d,%d,%d)", date, ms, number);
    if (!runStatement(statement, {})) {
        m_lastInsertedMs = previousInsertedMs;
        if (hadArrival) {
            m_lastArrival[number] = previousArrival;
        } else {
            m_lastArrival.erase(number);
        }
        if (hadText) {
            m_lastText[number] = previousText;
        } else {
            m_lastText.erase(number);
        }
        return -1;
    }
    freeStatement();
    return ms;
}

int CDBoperations::insertArrivedMessageText(int date, int millisecond, int /*number*/, int language, const char* text)
{
    const std::string cut = std::string(text != nullptr ? text : "").substr(0, MessageTextSize - 1);
    const Statement statement(
        Sql("INSERT INTO arrivedMessagesString(dateYYYYMMDD,millisecSinceMidnight,lang,mess) values (%d,%d,%d,?)",
            date, millisecond, language),
        { cut.c_str() });
    if (!runStatement(statement, {})) {
        return -1;
    }
    freeStatement();
    return 0;
}
