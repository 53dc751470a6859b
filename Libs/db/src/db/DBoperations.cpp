#include "db/DBoperations.h"

#include <QtGlobal>
#include <sqlite3.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

using Fetched = COdbcSession::Fetched;
constexpr int StepAllocate = COdbcSession::StepAllocate;
constexpr int StepBind = COdbcSession::StepBind;
constexpr int StepExecute = COdbcSession::StepExecute;
constexpr int StepColumnCount = COdbcSession::StepColumnCount;

constexpr int kMsPerDay = 86400000;
constexpr std::uint32_t kNoId = static_cast<std::uint32_t>(-1);

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

// Copies at most size - 1 bytes and terminates.
void CopyText(char* target, std::size_t size, const char* text)
{
    const std::size_t length = strnlen(text, size - 1);
    std::memcpy(target, text, length);
    target[length] = '\0';
}

}  // namespace

CDBoperations::CDBoperations(const char* name) : m_translator("translate.bin")
{
    setName(name);
    m_session.setFirstConnection([this] { return setUpConnection(); });
}

CDBoperations::~CDBoperations()
{
    m_session.close();
    if (m_sqlite != nullptr) {
        // The SQLite library itself stays initialised: the SQLite ODBC driver and
        // the token store use the same library in this process.
        sqlite3_close(m_sqlite);
        m_sqlite = nullptr;
    }
}

void CDBoperations::setName(const char* name)
{
    CopyText(m_name, sizeof m_name, name != nullptr ? name : "");
    m_dump.setName(m_name);
}

int CDBoperations::writeDebug(const char* text)
{
    m_dump.write(text);
    return 0;
}

// ---------------------------------------------------------------------------
// Connection

int CDBoperations::connect(const char* dataSource, const char* user, const char* password, const char* name)
{
    if (dataSource == nullptr || user == nullptr || password == nullptr) {
        return -1;
    }
    if (!m_session.setLogin(dataSource, user, password)) {
        return -1;
    }
    if (name != nullptr) {
        setName(name);
    }
    return m_session.connect() ? 0 : -1;
}

bool CDBoperations::setUpConnection()
{
    buildEscapeTable();
    m_language = 3;

    // Every known message number starts without a remembered arrival.
    const std::string statement = "SELECT number FROM messages WHERE lang=3 ORDER BY number";
    std::uint32_t number = 0;
    if (!m_session.runStatement(statement, { Column::Unsigned(&number) })) {
        return false;
    }
    while (m_session.fetch() == Fetched::Row) {
        m_lastArrival[static_cast<int>(number)] = 0;
        m_lastText[static_cast<int>(number)] = " ";
    }
    m_session.freeStatement();

    m_duplicateWindowMs = DuplicateWindowMs;
    openSqlite();
    return true;
}

void CDBoperations::openSqlite()
{
    if (m_sqlite != nullptr) {
        sqlite3_close(m_sqlite);
        m_sqlite = nullptr;
    }
    char databaseName[1000] = {};
    if (!m_session.databaseName(databaseName, sizeof databaseName)) {
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
    if (!m_session.runStatement(statement, { Column::Text(text, sizeof text) })) {
        return nullptr;
    }
    const Fetched fetched = m_session.fetch();
    if (fetched == Fetched::Failed) {
        // A failed read (the database gone, say) is no missing text: the caller
        // must not keep the error text in place of the real one.
        m_session.reportFailure(StepExecute, statement);
        return nullptr;
    }
    // A text longer than the block comes back cut (and is reported as such);
    // only a missing row gives the error text.
    const bool exists = COdbcSession::IsRow(fetched);
    if (!exists) {
        std::snprintf(text, sizeof text, "**** Error retrieving message no: %d from database ****\r\n", number);
    }
    if (found != nullptr) {
        *found = exists;
    }
    m_session.freeStatement();

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
    std::uint32_t typeValue = 0;
    std::uint32_t typeLoggingValue = 0;
    // This query reports a failed binding with the allocation code.
    if (!m_session.runStatement(statement, { Column::Unsigned(&typeValue), Column::Unsigned(&typeLoggingValue) },
                                StepAllocate)) {
        return -1;
    }
    if (!COdbcSession::IsRow(m_session.fetch())) {
        m_session.reportFailure(StepExecute, statement);
        return -1;
    }
    m_session.freeStatement();
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
    std::uint32_t value = 0;
    if (!m_session.runStatement(statement, { Column::Unsigned(&value) })) {
        return -1;
    }
    const Fetched fetched = m_session.fetch();
    if (fetched == Fetched::Failed) {
        m_session.reportFailure(StepExecute, statement);
        return -1;
    }
    m_session.freeStatement();
    if (pid != nullptr) {
        *pid = static_cast<int>(value);
    }
    return 0;
}

char* CDBoperations::getProcessName(int pid)
{
    const std::string statement = Sql("select processname from process where pid=%d", pid);
    char name[ProcessNameSize] = {};
    if (!m_session.allocStatement() || !m_session.bindColumn(1, Column::Text(name, sizeof name)) ||
        !m_session.execute(statement)) {
        m_session.reportFailure(StepExecute, statement);
        return nullptr;
    }
    char* result = nullptr;
    if (m_session.fetch() == Fetched::Row) {
        result = static_cast<char*>(std::calloc(ProcessNameSize, 1));
        if (result != nullptr) {
            CopyText(result, ProcessNameSize, name);
        }
    }
    m_session.freeStatement();
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
    if (!m_session.hasDatabase()) {
        return -1;
    }
    const std::string statement = "SELECT current_version,current_versionname FROM trx_version";
    std::uint32_t number = 0;
    char name[200] = {};
    if (!m_session.runStatement(statement, { Column::Unsigned(&number), Column::Text(name, sizeof name) })) {
        return -1;
    }
    if (m_session.resultColumnCount() < 0) {
        m_session.reportFailure(StepColumnCount, statement);
        return -1;
    }
    // The bound variables keep the last row fetched.
    bool anyRow = false;
    while (COdbcSession::IsRow(m_session.fetch())) {
        anyRow = true;
    }
    if (!anyRow) {
        // A database without a version row is not set up: a failure, not version 0.
        m_session.reportFailure(StepExecute, statement);
        return -1;
    }
    m_session.freeStatement();

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
    std::uint32_t id = kNoId;
    if (!m_session.bindColumn(1, Column::Unsigned(&id))) {
        m_session.reportFailure(StepBind, statement);
        return -1;
    }
    const bool found = m_session.execute(statement) && m_session.lastStepClean() &&
                       COdbcSession::IsRow(m_session.fetch()) && id == valueId;
    m_session.freeStatement();
    if (!m_session.allocStatement()) {
        m_session.reportFailure(StepAllocate, statement);
        return -1;
    }
    return found ? 1 : 0;
}

int CDBoperations::getToken(const char* tokenName, TokenValue* value)
{
    qDebug("Get token %s", tokenName != nullptr ? tokenName : "");

    const Statement statement("select value_id from token_value where token=upper(?)", { tokenName });
    std::uint32_t valueId = kNoId;
    if (!m_session.runStatement(statement, { Column::Unsigned(&valueId) })) {
        return -1;
    }
    const Fetched fetched = m_session.fetch();
    if (!COdbcSession::IsRow(fetched)) {
        if (fetched == Fetched::NoRow) {
            m_session.freeStatement();  // an unknown token is no failure of the database
        } else {
            m_session.reportFailure(StepExecute, statement);
        }
        return -1;
    }
    m_session.freeStatement();

    // Which typed table holds the value: floating point wins over integer over text.
    if (!m_session.allocStatement()) {
        m_session.reportFailure(StepAllocate, "");
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
        m_session.freeStatement();
        return 0;
    }

    double floatValue = 0;
    std::uint32_t intValue = 0;
    char textValue[sizeof value->textValue] = {};
    std::string valueStatement;
    bool bound = false;
    switch (matchedTable) {
    case 0:
        valueStatement = Sql("select value from float_values where id='%i'", static_cast<int>(valueId));
        bound = m_session.bindColumn(1, Column::Double(&floatValue));
        break;
    case 1:
        valueStatement = Sql("select value from integer_values where id='%i'", static_cast<int>(valueId));
        bound = m_session.bindColumn(1, Column::Unsigned(&intValue));
        break;
    default:
        valueStatement = Sql("select value from varchar_values where id='%i'", static_cast<int>(valueId));
        bound = m_session.bindColumn(1, Column::Text(textValue, sizeof textValue));
        break;
    }
    if (!bound) {
        m_session.reportFailure(StepBind, valueStatement);
        return -1;
    }
    if (!m_session.execute(valueStatement)) {
        m_session.reportFailure(StepExecute, valueStatement);
        return -1;
    }
    m_session.fetch();
    m_session.freeStatement();

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
    if (!m_session.runStatement(statement, { Column::Unsigned(&row.id),
                                   Column::Text(row.ip, sizeof row.ip),
                                   Column::Unsigned(&row.port),
                                   Column::Unsigned(&row.udp_tcp),
                                   Column::Unsigned(&row.read_write),
                                   Column::Unsigned(&row.server_client),
                                   Column::Unsigned(&row.pid) })) {
        return -1;
    }
    std::vector<SocketRecord> rows;
    while (COdbcSession::IsRow(m_session.fetch())) {
        rows.push_back(row);
    }
    m_session.freeStatement();

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
    const bool executed = m_session.runStatement(statement, {
        Column::Unsigned(&row.logger),
        Column::Unsigned(&row.logging_enabled),
        Column::Unsigned(&row.logging_selected),
        Column::Unsigned(&row.dir_value_enabled),
        Column::Text(row.dir_value, sizeof row.dir_value),
        Column::Text(row.file_value, sizeof row.file_value),
        Column::Unsigned(&row.browse_enabled),
        Column::Unsigned(&row.browse_selected),
        Column::Unsigned(&row.line_interval_value_enabled),
        Column::Text(row.line_interval_value, 10),
        Column::Unsigned(&row.apply_enabled),
        Column::Unsigned(&row.apply_selected),
    });
    if (!executed) {
        return -1;
    }
    if (!COdbcSession::IsRow(m_session.fetch())) {
        m_session.reportFailure(StepExecute, statement);
        return -1;
    }
    m_session.freeStatement();
    if (m_session.rowCut()) {
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
    if (!m_session.runStatement(statement, {})) {
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
    m_session.freeStatement();
    return ms;
}

int CDBoperations::insertArrivedMessageText(int date, int millisecond, int /*number*/, int language, const char* text)
{
    const std::string cut = std::string(text != nullptr ? text : "").substr(0, MessageTextSize - 1);
    const Statement statement(
        Sql("INSERT INTO arrivedMessagesString(dateYYYYMMDD,millisecSinceMidnight,lang,mess) values (%d,%d,%d,?)",
            date, millisecond, language),
        { cut.c_str() });
    if (!m_session.runStatement(statement, {})) {
        return -1;
    }
    m_session.freeStatement();
    return 0;
}
