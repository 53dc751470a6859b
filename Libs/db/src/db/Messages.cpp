#include "db/Messages.h"

#include "platform/Time.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

// The one datagram socket and destination of the process for announcements,
// made on the first send to an address.
class AnnouncementSocket {
public:
    static AnnouncementSocket& instance()
    {
        static AnnouncementSocket socket;
        return socket;
    }

    void send(const std::string& address)
    {
        std::call_once(m_once, [&] { m_ready = open(address); });
        if (m_ready) {
            m_socket.send(CMessages::Announcement, CMessages::AnnouncementLength, m_destination);
        }
    }

private:
    bool open(const std::string& address)
    {
        const auto colon = address.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        const std::string host = address.substr(0, colon);
        char* end = nullptr;
        const long port = std::strtol(address.c_str() + colon + 1, &end, 10);
        if (end == address.c_str() + colon + 1 || *end != '\0' || port <= 0 || port > 65535) {
            return false;
        }
        // Numeric IPv4 only: ACE would otherwise resolve to an IPv6-mapped address.
        if (m_destination.set(static_cast<u_short>(port), host.c_str(), 1, AF_INET) != 0) {
            return false;
        }
        const ACE_INET_Addr local(static_cast<u_short>(0), static_cast<ACE_UINT32>(INADDR_ANY));
        return m_socket.open(local) == 0;
    }

    std::once_flag m_once;
    bool m_ready = false;
    ACE_SOCK_Dgram m_socket;
    ACE_INET_Addr m_destination;
};

// The handles of the short connection that reads the message types.
class TypeReader {
public:
    ~TypeReader()
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

    // Reads every row into `types`; false after a failure, which is written to
    // standard error.
    bool read(const char* connectString, const char* statement, std::map<int, std::pair<int, int>>& types)
    {
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
        SQLINTEGER values[Columns][BatchSize];
        SQLLEN indicators[Columns][BatchSize];
        SQLULEN fetched = 0;
        SQLSetStmtAttr(m_stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
        if (!ok(SQLSetStmtAttr(m_stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(BatchSize), 0),
                SQL_HANDLE_STMT, m_stmt, statement) ||
            !ok(SQLSetStmtAttr(m_stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0), SQL_HANDLE_STMT, m_stmt,
                statement)) {
            return false;
        }
        for (int column = 0; column < Columns; ++column) {
            if (!ok(SQLBindCol(m_stmt, static_cast<SQLUSMALLINT>(column + 1), SQL_C_SLONG, values[column],
                               sizeof values[column][0], indicators[column]),
                    SQL_HANDLE_STMT, m_stmt, statement)) {
                return false;
            }
        }
        if (!ok(SQLExecDirect(m_stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement)), SQL_NTS),
                SQL_HANDLE_STMT, m_stmt, statement)) {
            return false;
        }
        bool nullReported = false;
        for (;;) {
            const SQLRETURN rc = SQLFetch(m_stmt);
            if (rc == SQL_NO_DATA) {
                return true;
            }
            if (!ok(rc, SQL_HANDLE_STMT, m_stmt, statement)) {
                return false;
            }
            for (SQLULEN row = 0; row < fetched && row < BatchSize; ++row) {
                // A NULL reads as 0, written once: "510 (NULL in column <n,...>): <statement>".
                std::string nullColumns;
                for (int column = 0; column < Columns; ++column) {
                    if (indicators[column][row] == SQL_NULL_DATA) {
                        values[column][row] = 0;
                        nullColumns += (nullColumns.empty() ? "" : ",") + std::to_string(column + 1);
                    }
                }
                if (!nullColumns.empty() && !nullReported) {
                    nullReported = true;
                    std::fprintf(stderr, "510 (NULL in column %s): %s\n", nullColumns.c_str(), statement);
                }
                types[values[0][row]] = { values[1][row], values[2][row] };
            }
        }
    }

private:
    static constexpr SQLULEN BatchSize = 50;
    static constexpr int Columns = 3;  // number, type, typeLogging

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

void CMessages::setSender(CMessageSender* sender)
{
    m_sender = sender;
    m_address.clear();
}

void CMessages::setAnnouncementAddress(const char* hostAndPort)
{
    m_address = hostAndPort != nullptr ? hostAndPort : "";
}

void CMessages::notify()
{
    if (m_sender != nullptr) {
        m_sender->send(Announcement, AnnouncementLength);
    } else if (!m_address.empty()) {
        AnnouncementSocket::instance().send(m_address);
    }
}

int CMessages::loadMessageTypes()
{
    m_language = 3;
    char connectString[100];
    std::snprintf(connectString, sizeof connectString, "UID=%s;PWD=%s;DSN=%s", SystemDatabaseUser,
                  SystemDatabasePassword, SystemDataSource);
    TypeReader reader;
    reader.read(connectString, "select number, type, typeLogging from messages where lang=1", m_types);
    return 0;
}

int CMessages::messageType(int number)
{
    auto entry = m_types.find(number);
    if (entry == m_types.end()) {
        int type = 0;
        int typeLogging = 0;
        if (m_database != nullptr) {
            m_database->getMessageType(number, &type, &typeLogging);
        }
        entry = m_types.insert_or_assign(number, std::make_pair(type != 0 ? type : 1,
                                                                typeLogging != 0 ? typeLogging : 1)).first;
    }
    const int loggingStatus =
        m_database != nullptr ? m_database->getIntToken("MAIN_W_LOGGING_STATUS_ON_OFF") : 0;
    return loggingStatus <= 0 ? entry->second.first : entry->second.second;
}

CMessages::MessageTime CMessages::now()
{
    const platform::SystemTime time = platform::Now();
    const std::tm utc = platform::UtcTime(time.seconds);
    return MessageTime { (utc.tm_year + 1900) * 10000 + (utc.tm_mon + 1) * 100 + utc.tm_mday,
                         utc.tm_hour * 10000 + utc.tm_min * 100 + utc.tm_sec, time.milliseconds };
}

const char* CMessages::messageFormat(int number)
{
    auto entry = m_formats.find(number);
    if (entry == m_formats.end()) {
        if (m_database == nullptr) {
            return nullptr;
        }
        bool found = false;
        char* text = m_database->getMessageText(number, m_language, &found);
        if (text == nullptr) {
            return nullptr;
        }
        if (!found) {
            // Shown this time, looked for again next time: a text added to the
            // database later is used without a restart.
            m_missingFormat = text;
            std::free(text);
            return m_missingFormat.c_str();
        }
        entry = m_formats.emplace(number, text).first;
        std::free(text);
    }
    return entry->second.c_str();
}

void CMessages::formatValues(char* text, const char* format, ...)
{
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, MaxTextLength + 1, format, values);
    va_end(values);
}

void CMessages::record(const MessageTime& when, int number, const char* text, const std::string& values)
{
    messageType(number);
    if (m_database == nullptr) {
        return;
    }
    const int millisecond =
        m_database->insertArrivedMessage(when.date, when.time, when.milliseconds, number, text, false);
    if (millisecond > 0) {
        if (m_database->insertArrivedMessageText(when.date, millisecond, number, m_language, text) < 0) {
            keepInDump(when, number, text);
        }
        notify();
    } else if (millisecond < 0) {
        std::string kept = text;
        if (kept.empty()) {
            kept = values.empty() ? std::string(NoText) : "values " + values;
        }
        keepInDump(when, number, kept);
    }
}

const char* const CMessages::NoText = "(no text)";

void CMessages::keepInDump(const MessageTime& when, int number, const std::string& text)
{
    // The arrival row holds no text, so while the database is unreachable or
    // locked the message itself would be gone: the dump file keeps it.
    char head[96];
    std::snprintf(head, sizeof head, "Message %d of %08d %06d.%03d not recorded: ", number, when.date, when.time,
                  when.milliseconds);
    m_database->writeDebug((head + text + "\n").c_str());
}

void CMessages::sendMessageNoText(int number)
{
    const MessageTime when = now();
    messageType(number);
    if (m_database == nullptr) {
        return;
    }
    const int millisecond = m_database->insertArrivedMessage(when.date, when.time, when.milliseconds, number, " ", true);
    if (millisecond > 0) {
        notify();
    } else if (millisecond < 0) {
        keepInDump(when, number, NoText);
    }
}
