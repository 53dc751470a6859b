#include "QhvctlMessages.h"

#include "ToolSupport.h"

#include "db/DBconnection.h"
#include "db/DBoperations.h"
#include "db/OdbcSession.h"
#include "db/TranslateChar.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qhvctl {

namespace {

// The language the process records and shows its messages in (CMessages).
constexpr int SiteLanguage = 3;
constexpr std::int64_t MsPerDay = 86400000;

// One short ODBC connection for reading (the database objects' own connection
// class, without their dump file): text columns only, each row handed on as it
// is fetched. A failure throws with the driver's message.
class OdbcReader {
public:
    OdbcReader()
    {
        m_connection.setDataSource(SystemDataSource);
        m_connection.setUser(SystemDatabaseUser);
        m_connection.setPassword(SystemDatabasePassword);
        if (m_connection.connect() != 0) {
            throw std::runtime_error(std::string("cannot reach the system database ") + SystemDataSource + ": " +
                                     m_connection.errorMessage() + " (SQLSTATE " + m_connection.sqlState() + ")");
        }
        m_dbc = static_cast<SQLHDBC>(m_connection.connectionHandle());
    }

    OdbcReader(const OdbcReader&) = delete;
    OdbcReader& operator=(const OdbcReader&) = delete;

    // Runs `sql` and gives each row's `columns` texts (NULL as empty) to `row`.
    void Read(const std::string& sql, int columns, const std::function<void(const std::vector<std::string>&)>& row)
    {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        const std::string what = "cannot read the system database " + std::string(SystemDataSource);
        Check(SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt), SQL_HANDLE_DBC, m_dbc, what);
        const auto release = [&] { SQLFreeHandle(SQL_HANDLE_STMT, stmt); };
        try {
            SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(COdbcSession::StatementTimeoutSeconds), 0);
            Check(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
                  SQL_HANDLE_STMT, stmt, what);
            std::vector<std::string> values(static_cast<std::size_t>(columns));
            for (SQLRETURN fetched = SQLFetch(stmt); fetched != SQL_NO_DATA; fetched = SQLFetch(stmt)) {
                Check(fetched, SQL_HANDLE_STMT, stmt, what);
                for (int column = 0; column < columns; ++column) {
                    values[static_cast<std::size_t>(column)] = Text(stmt, column + 1, what);
                }
                row(values);
            }
        } catch (...) {
            release();
            throw;
        }
        release();
    }

private:
    static std::string Text(SQLHSTMT stmt, int column, const std::string& what)
    {
        char buffer[1024];
        SQLLEN length = 0;
        Check(SQLGetData(stmt, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, buffer, sizeof buffer, &length),
              SQL_HANDLE_STMT, stmt, what);
        return length == SQL_NULL_DATA ? std::string() : std::string(buffer);
    }

    // Throws "<what>: <message> (SQLSTATE <state>)" unless `rc` is a success.
    static void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const std::string& what)
    {
        if (SQL_SUCCEEDED(rc)) {
            return;
        }
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR message[512] = {};
        SQLSMALLINT length = 0;
        std::string reason = "no diagnostic";
        if (handle != nullptr &&
            SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length))) {
            reason = reinterpret_cast<const char*>(message) + std::string(" (SQLSTATE ") +
                     reinterpret_cast<const char*>(state) + ")";
        }
        throw std::runtime_error(what + ": " + reason);
    }

    CDBconnection m_connection;
    SQLHDBC m_dbc = SQL_NULL_HDBC;
};

// A moment as the arrival tables keep it: UTC date YYYYMMDD and millisecond of the day.
struct ArrivalKey {
    long date = 0;
    long millisecond = 0;
    bool operator<(const ArrivalKey& other) const
    {
        return date != other.date ? date < other.date : millisecond < other.millisecond;
    }
};

struct Arrival {
    ArrivalKey key;
    int number = 0;
};

ArrivalKey KeyOf(std::time_t when)
{
    std::tm utc {};
    gmtime_r(&when, &utc);
    return { (utc.tm_year + 1900) * 10000L + (utc.tm_mon + 1) * 100L + utc.tm_mday,
             ((utc.tm_hour * 60L + utc.tm_min) * 60L + utc.tm_sec) * 1000L };
}

// "YYYY-MM-DD HH:MM:SS.mmm" of an arrival, in local time or UTC.
std::string TimeText(const ArrivalKey& key, bool utc)
{
    std::tm day {};
    day.tm_year = static_cast<int>(key.date / 10000) - 1900;
    day.tm_mon = static_cast<int>(key.date / 100 % 100) - 1;
    day.tm_mday = static_cast<int>(key.date % 100);
    const std::time_t when = ::timegm(&day) + static_cast<std::time_t>(key.millisecond / 1000);
    std::tm shown {};
    if (utc) {
        gmtime_r(&when, &shown);
    } else {
        localtime_r(&when, &shown);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", shown.tm_year + 1900, shown.tm_mon + 1,
                  shown.tm_mday, shown.tm_hour, shown.tm_min, shown.tm_sec, key.millisecond % 1000);
    return text;
}

long Number(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

// The texts of the message numbers in the site's language, as the process
// shows them (language 3 through the character translation).
std::map<int, std::string> OwnTexts(OdbcReader& reader)
{
    CTranslateChar translator("translate.bin");
    std::map<int, std::string> texts;
    reader.Read("SELECT number, mess FROM messages WHERE lang = " + std::to_string(SiteLanguage), 2,
                [&](const std::vector<std::string>& row) {
                    texts[static_cast<int>(Number(row[0]))] = translator.translate(row[1].c_str());
                });
    return texts;
}

// On one line: without the line end some texts carry, other control bytes as escapes.
std::string OneLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    // A text from the database never sends the terminal an escape sequence;
    // the site's letters stay as they are.
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        line += byte < 0x20 || byte == 0x7f ? tools::Shown(std::string_view(&c, 1)) : std::string(1, c);
    }
    return line;
}

// Prints the latest arrivals, oldest first, each with its recorded text or,
// for a message sent without one, the number's own text.
void PrintMessages(const MessagesRequest& request, std::ostream& out)
{
    OdbcReader reader;
    std::string where;
    if (request.since) {
        const ArrivalKey from = KeyOf(*request.since);
        where = " WHERE dateYYYYMMDD > " + std::to_string(from.date) + " OR (dateYYYYMMDD = " +
                std::to_string(from.date) + " AND millisecSinceMidnight >= " + std::to_string(from.millisecond) + ")";
    }
    std::vector<Arrival> arrivals;
    reader.Read("SELECT dateYYYYMMDD, millisecSinceMidnight, number FROM arrivedMessages" + where +
                    " ORDER BY dateYYYYMMDD DESC, millisecSinceMidnight DESC LIMIT " + std::to_string(request.limit),
                3, [&](const std::vector<std::string>& row) {
                    arrivals.push_back({ { Number(row[0]), Number(row[1]) }, static_cast<int>(Number(row[2])) });
                });
    if (arrivals.empty()) {
        return;
    }
    const ArrivalKey oldest = arrivals.back().key;
    // A text row belongs to the arrival of the same date and millisecond.
    std::map<ArrivalKey, std::vector<std::string>> recorded;
    reader.Read("SELECT dateYYYYMMDD, millisecSinceMidnight, mess FROM arrivedMessagesString WHERE lang = " +
                    std::to_string(SiteLanguage) + " AND (dateYYYYMMDD > " + std::to_string(oldest.date) +
                    " OR (dateYYYYMMDD = " + std::to_string(oldest.date) + " AND millisecSinceMidnight >= " +
                    std::to_string(oldest.millisecond) + "))",
                3, [&](const std::vector<std::string>& row) {
                    recorded[{ Number(row[0]), Number(row[1]) }].push_back(row[2]);
                });
    const std::map<int, std::string> own = OwnTexts(reader);
    std::map<ArrivalKey, int> sharing;  // arrivals per moment
    for (const Arrival& arrival : arrivals) {
        ++sharing[arrival.key];
    }

    for (auto at = arrivals.rbegin(); at != arrivals.rend(); ++at) {
        const auto ownText = own.find(at->number);
        const bool hasOwn = ownText != own.end();
        // Where writers shared a moment, its texts go in order to the messages
        // whose own text takes values (those are sent with a text).
        const bool takesText = sharing[at->key] == 1 || (hasOwn && ownText->second.find('%') != std::string::npos);
        std::vector<std::string>& texts = recorded[at->key];
        std::string text;
        if (takesText && !texts.empty()) {
            text = texts.front();
            texts.erase(texts.begin());
        } else {
            text = hasOwn ? ownText->second : "(no text for this number)";
        }
        out << TimeText(at->key, request.utc) << "  " << at->number << "  " << OneLine(text) << '\n';
    }
    out.flush();
}

bool Digits(const std::string& text, std::size_t from, std::size_t count)
{
    if (text.size() < from + count) {
        return false;
    }
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

int TwoDigits(const std::string& text, std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

}  // namespace

std::time_t SinceTime(const std::string& option, const std::string& text, std::time_t now, bool utc)
{
    const tools::UsageError bad(option + ": " + tools::Quoted(text) +
                                " is neither YYYY-MM-DD[ HH:MM[:SS]] nor a span such as 10m, 2h or 1d");
    // A span back from now.
    if (text.size() >= 2 && Digits(text, 0, text.size() - 1) && text.size() <= 10) {
        const long long count = std::stoll(text.substr(0, text.size() - 1));
        long long unit = 0;
        switch (text.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        default: throw bad;
        }
        return now - static_cast<std::time_t>(count * unit);
    }
    // A date, with a time of day or without.
    const bool date = (text.size() == 10 || text.size() == 16 || text.size() == 19) && Digits(text, 0, 4) &&
                      text[4] == '-' && Digits(text, 5, 2) && text[7] == '-' && Digits(text, 8, 2);
    const bool time = date && (text.size() == 10 || ((text[10] == ' ' || text[10] == 'T') && Digits(text, 11, 2) &&
                                                     text[13] == ':' && Digits(text, 14, 2) &&
                                                     (text.size() == 16 || (text[16] == ':' && Digits(text, 17, 2)))));
    if (!date || !time) {
        throw bad;
    }
    std::tm broken {};
    broken.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    broken.tm_mon = TwoDigits(text, 5) - 1;
    broken.tm_mday = TwoDigits(text, 8);
    if (text.size() >= 16) {
        broken.tm_hour = TwoDigits(text, 11);
        broken.tm_min = TwoDigits(text, 14);
    }
    if (text.size() == 19) {
        broken.tm_sec = TwoDigits(text, 17);
    }
    if (broken.tm_mon > 11 || broken.tm_mday < 1 || broken.tm_mday > 31 || broken.tm_hour > 23 || broken.tm_min > 59 ||
        broken.tm_sec > 60) {
        throw bad;
    }
    broken.tm_isdst = -1;
    return utc ? ::timegm(&broken) : std::mktime(&broken);
}

bool IsMessagesCommand(int argc, char* argv[])
{
    return argc > 1 && argv[1] != nullptr && std::string(argv[1]) == "messages" &&
           !tools::ArgumentCursor(argc, argv).AsksForHelp();
}

int RunMessages(int argc, char* argv[], std::ostream& out)
{
    tools::ArgumentCursor arguments(argc - 1, argv + 1);  // after "messages"
    MessagesRequest request;
    std::optional<std::string> since;
    while (!arguments.Done()) {
        const tools::Argument argument = arguments.Next();
        if (!argument.isOption) {
            throw tools::UsageError("unexpected argument " + tools::Quoted(argument.text));
        }
        if (argument.text == "--since") {
            since = arguments.ValueOf(argument);
        } else if (argument.text == "--limit") {
            request.limit = static_cast<std::size_t>(tools::WholeNumber(argument.text, arguments.ValueOf(argument), 1,
                                                                        1000000));
        } else if (argument.text == "--utc") {
            tools::ArgumentCursor::NoValue(argument);
            request.utc = true;
        } else if (argument.text == "--host" || argument.text == "--port" || argument.text == "--status-port") {
            throw tools::UsageError(argument.text + " does not go with messages");
        } else {
            throw tools::UsageError("unknown option " + tools::Quoted(argument.text));
        }
    }
    if (since) {
        request.since = SinceTime("--since", *since, std::time(nullptr), request.utc);
    }
    PrintMessages(request, out);
    return 0;
}

}  // namespace qhvctl
