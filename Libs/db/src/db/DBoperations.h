// Every query and insert QHVLogger runs against the system database (ODBC data
// source "NTRXDB"): message texts and types, processes, the database version,
// typed tokens, sockets, logger parameters and the two arrived-message inserts
// with their duplicate suppression. Failures are written as short lines to the
// object's dump file "c:\Temp\db_<name>_<n>.txt"; an object whose name another
// live object of the process already writes under adds "_2" (or the next free
// number) to it, so no object rotates another's files. Each object is used by one
// thread only (the thread of the state machine that owns it); objects of
// different threads are independent.
//
// A logger's job must not wait long for a database that has gone away: each
// statement and connect has a time bound, and a database found unavailable
// pauses the object (see COdbcSession for the pauses and what the dump file
// says meanwhile and of NULL columns).
#pragma once

#include "db/DumpFile.h"
#include "db/OdbcSession.h"
#include "db/TranslateChar.h"

#include <cstdint>
#include <map>
#include <string>

struct sqlite3;

// The login every database object of this process uses.
constexpr char SystemDataSource[] = "NTRXDB";
constexpr char SystemDatabaseUser[] = "trxuser";
constexpr char SystemDatabasePassword[] = "qalvex4";

// A typed parameter token of the database.
struct TokenValue {
    enum : std::int32_t { Float = 1, Integer = 2, Text = 3 };
    std::int32_t type = Integer;
    union {
        double floatValue;
        std::int32_t intValue;
        char textValue[300];
    };
    TokenValue() : textValue {} {}
};

// One row of the socket view of a process.
struct SocketRecord {
    std::uint32_t id;
    char ip[100];
    std::uint32_t port;
    std::uint32_t udp_tcp;
    std::uint32_t read_write;
    std::uint32_t server_client;
    std::uint32_t pid;
};

// The logging parameters of one logger for one user profile; each field holds
// the column of the same name.
struct LoggerParameters {
    std::uint32_t logger;
    std::uint32_t logging_enabled;
    std::uint32_t logging_selected;
    std::uint32_t dir_value_enabled;
    char dir_value[300];
    char file_value[300];
    std::uint32_t browse_enabled;
    std::uint32_t browse_selected;
    std::uint32_t line_interval_value_enabled;
    char line_interval_value[12];  // at most 9 characters
    std::uint32_t apply_enabled;
    std::uint32_t apply_selected;
};

class CDBoperations {
public:
    static constexpr int DuplicateWindowMs = 10000;
    static constexpr int MessageTextSize = 400;
    static constexpr int ProcessNameSize = 300;
    static constexpr int DumpFileCount = CDumpFile::FileCount;
    static constexpr unsigned long DumpFileLimit = CDumpFile::FileLimit;

    // The name (at most 31 characters kept) names the dump files (made unique in
    // the process when the first one is opened). The character
    // translator reads "translate.bin" from the working directory.
    explicit CDBoperations(const char* name);
    // Disconnects, closes the SQLite handle and the dump file.
    virtual ~CDBoperations();

    CDBoperations(const CDBoperations&) = delete;
    CDBoperations& operator=(const CDBoperations&) = delete;

    // Connects; a non-null name replaces the object's name. Prepares the
    // duplicate suppression for every message number and opens the database
    // file with SQLite when the driver names one (failures of that open go to
    // standard error only). 0 / -1. A connection made here is re-established
    // when lost; one that could not be made is tried again the same way (with
    // the same pauses), and the preparations follow once it is made.
    int connect(const char* dataSource, const char* user, const char* password, const char* name);
    // True while the object holds a connection (made, not lost).
    bool isConnected() const { return m_session.isConnected(); }

    // The text of a message in a language, translated for display: a new
    // MessageTextSize-byte block that the caller releases with free(), or null.
    // A missing text gives "**** Error retrieving message no: <n> from database ****\r\n"
    // (`found` false); a text longer than the block is cut to it (and reported
    // in the dump file); a read that fails gives null.
    char* getMessageText(int number, int language, bool* found = nullptr);
    // Both outputs are 0 unless the row is found. 0 / -1.
    int getMessageType(int number, int* type, int* typeLogging);
    // A process without a row gives pid 0 and 0.
    int getPid(int* pid, const char* processName);
    // A new ProcessNameSize-byte block (release with free()), or null when the pid has no row.
    char* getProcessName(int pid);
    // The last row of the version table; the name is a new array the caller
    // deletes with delete[]. On failure the version is 0 and the name null. 0 / -1.
    int getVersion(int* version, char** versionName);
    // Looks the token up in the three typed value tables (floating point first);
    // a token without a value row leaves `value` as it was and gives 0. -1 when
    // the token has no row or a query fails.
    int getToken(const char* tokenName, TokenValue* value);
    // The token's value as an integer (floating point truncated, text parsed as a
    // decimal number); 0 when the token cannot be read.
    int getIntToken(const char* tokenName);
    // The socket rows of a process as a new array (release with free()) and their
    // count; no rows give a null array, count 0 and 0. 0 / -1.
    int getSockets(const char* processName, SocketRecord** records, int* count);
    // The first parameter row of a user profile and process; no row is a failure. 0 / -1.
    int getLoggerParameters(const char* userName, const char* processName, LoggerParameters* parameters);

    // Records one arrival of a message number at date (YYYYMMDD) and time (hhmmss)
    // plus milliseconds, unless it repeats the number's previous arrival within
    // DuplicateWindowMs (without text, or with the same text). Returns the
    // millisecond of the day stored (1 to 86,399,999), 0 when suppressed, -1 on
    // failure. An arrival that could not be stored is no previous arrival: its
    // repeat is stored once the database is back.
    int insertArrivedMessage(int date, int time, int milliseconds, int number, const char* text, bool noText);
    // Records the text (cut to 399 characters) of the arrival stored at date and
    // millisecond of the day. 0 / -1.
    int insertArrivedMessageText(int date, int millisecond, int number, int language, const char* text);

    // Appends the text verbatim to the dump file, choosing and opening the file on
    // first use; a text that would take the file beyond DumpFileLimit opens the
    // next file of the rotation first. Always 0.
    int writeDebug(const char* text);

    const char* name() const { return m_name; }
    int language() const { return m_language; }
    int lastReturnCode() const { return m_session.lastReturnCode(); }
    // The dump file in use, as the system names it; empty until the first report.
    const char* dumpFilePath() const { return m_dump.path(); }
    // True while connect() holds the database file open with SQLite.
    bool sqliteOpen() const { return m_sqlite != nullptr; }

private:
    using Statement = COdbcSession::Statement;
    using Column = COdbcSession::Column;

    void setName(const char* name);
    // What follows the first connection: escapes, the message numbers for
    // duplicate suppression, the SQLite handle. False when a statement of it failed.
    bool setUpConnection();
    void openSqlite();
    // 1 when the typed value table holds a row for the value id, 0 when not, -1
    // after a reported failure.
    int findTypedId(const char* table, std::uint32_t valueId);

    CDumpFile m_dump;
    COdbcSession m_session { m_dump };
    int m_language = 3;
    int m_lastInsertedMs = 0;
    std::map<int, int> m_lastArrival;        // message number -> millisecond of the day; 0: none
    std::map<int, std::string> m_lastText;   // message number -> text of that arrival
    int m_duplicateWindowMs = DuplicateWindowMs;
    CTranslateChar m_translator;
    char m_name[32] = {};
    sqlite3* m_sqlite = nullptr;
};
