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
// statement and connect has a time bound (see StatementTimeoutSeconds and
// CDBconnection::LoginTimeoutSeconds for what the drivers make of them), and a
// statement that finds the database unavailable (a lost connection, a timeout,
// a locked SQLite file) pauses the object. Until the pause is over statements
// are not run but reported as without a connection ("506 (-2): <statement>"),
// so the messages sent meanwhile stand in the dump file. The first call after
// the pause tries again, reconnecting first when the connection was lost; each
// failed attempt doubles the pause (1 s up to 60 s).
// A NULL column of a row read is an empty text or 0, with one dump line per
// statement ("510 (NULL in column <n,...>): <statement>").
#pragma once

#include "db/DBconnection.h"
#include "db/TranslateChar.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
    static constexpr int DumpFileCount = 40;
    // A dump file is not written beyond this size; the next text goes to the
    // next file of the rotation.
    static constexpr unsigned long DumpFileLimit = 1UL << 20;
    // Bound of each statement (SQL_ATTR_QUERY_TIMEOUT). psqlODBC has the server
    // end a statement that runs longer (57014); it cannot end a wait for a server
    // that does not answer at all (that takes the data source's TCP settings,
    // pqopt = tcp_user_timeout=...). The SQLite driver ignores it: a locked file
    // is waited for as long as the data source's Timeout= says, about twice over.
    static constexpr long StatementTimeoutSeconds = 3;
    static constexpr int FirstRetrySeconds = 1;
    static constexpr int LastRetrySeconds = 60;

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
    bool isConnected() const { return m_dbc != nullptr; }

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
    int lastReturnCode() const { return m_rc; }
    // The dump file in use, as the system names it; empty until the first report.
    const char* dumpFilePath() const { return m_dumpPath; }
    // True while connect() holds the database file open with SQLite.
    bool sqliteOpen() const { return m_sqlite != nullptr; }

private:
    struct BoundColumn {
        int cType;
        void* target;
        long size;
    };

    // A statement to run. Each '?' of `sql` is a parameter that takes the next of
    // `texts`, so a text is data whatever quotes or backslashes it holds and
    // however the server reads escapes in literals. `shown` is the statement with
    // the texts in place as quoted literals: what the dump file shows.
    struct Statement {
        Statement(std::string text) : sql(text), shown(std::move(text)) {}
        Statement(const char* text) : Statement(std::string(text)) {}
        Statement(std::string parameterised, std::initializer_list<const char*> values);

        std::string sql;
        std::string shown;
        std::vector<std::string> texts;
    };

    static constexpr int MaxColumns = 16;
    static constexpr int MaxTexts = 4;

    // Allocates a statement, binds the result columns in order and executes the
    // text. A failing step is reported (allocation 506, binding `bindStepCode`,
    // execution 505) and gives false with the statement released.
    bool runStatement(const Statement& statement, std::initializer_list<BoundColumn> columns, int bindStepCode);
    bool runStatement(const Statement& statement, std::initializer_list<BoundColumn> columns);

    // Allocates a statement with its time bound, unless the database is paused.
    bool allocStatement();
    // Binds a result column with a NULL indicator of its own.
    bool bindColumn(int column, int cType, void* target, long size);
    bool execute(const Statement& statement);
    // A row: NULL columns become an empty text or 0, written once per statement.
    int fetch();
    void freeStatement();
    // Writes the failure report (prefix from step code and return code, the
    // statement, a line end) and releases the statement.
    void reportFailure(int stepCode, const Statement& statement);
    void setName(const char* name);
    void openSqlite();
    // 1 when the typed value table holds a row for the value id, 0 when not, -1
    // after a reported failure.
    int findTypedId(const char* table, std::uint32_t valueId);
    // "c:\Temp\db_<dump name>_<index>.txt"
    std::string dumpPathOf(int index) const;
    // Opens the file before the first gap of the rotation.
    bool openDumpFile();
    // Opens (empties) file `index` and deletes the one after it, the new gap.
    bool openDumpFileAt(int index);

    // What follows the first connection: driver kind, escapes, the message
    // numbers for duplicate suppression, the SQLite handle. False when a
    // statement of it failed.
    bool setUpConnection();
    // Whether a statement may run now: false while paused or never connected.
    // Ends a pause that is over, reconnecting first when the connection was lost.
    bool databaseReady();
    // After a failed call on the statement in progress: pauses the object when
    // the failure means the database is unavailable.
    void checkUnavailable();
    // Starts the next (doubled) pause; `lost` releases the connection. Writes
    // "<what> (<state>): <message>; next attempt in <n> s".
    void pauseDatabase(bool lost, const char* what, const char* state, const char* message);
    // After a fetch: NULL columns read as empty or 0, and texts longer than
    // their buffer noted (m_columnCut); each reported once per statement.
    void checkColumns();

    std::unique_ptr<CDBconnection> m_connection;
    void* m_dbc = nullptr;   // SQLHDBC borrowed from m_connection
    void* m_stmt = nullptr;  // SQLHSTMT of the statement in progress
    int m_rc = 0;
    char m_errorPrefix[64] = {};
    // The columns bound to the statement in progress and their NULL indicators
    // (SQLLEN), and the lengths of its parameters.
    BoundColumn m_columns[MaxColumns] = {};
    long m_indicators[MaxColumns] = {};
    int m_columnCount = 0;
    long m_textLengths[MaxTexts] = {};
    std::string m_shown;  // the statement in progress as the dump file shows it
    bool m_nullReported = false;
    bool m_cutReported = false;
    bool m_columnCut = false;  // the last row fetched had a text cut to its buffer
    // Availability: while paused no statement runs until m_retryAt.
    bool m_paused = false;
    bool m_lost = false;  // the connection was released and must be made again
    bool m_setUp = false;  // the preparations after the first connection were done
    bool m_sqliteDriver = false;
    int m_pauseSeconds = 0;  // the last pause; 0 after a statement ran
    std::chrono::steady_clock::time_point m_retryAt;
    int m_language = 3;
    int m_lastInsertedMs = 0;
    std::map<int, int> m_lastArrival;        // message number -> millisecond of the day; 0: none
    std::map<int, std::string> m_lastText;   // message number -> text of that arrival
    int m_duplicateWindowMs = DuplicateWindowMs;
    CTranslateChar m_translator;
    char m_name[32] = {};
    std::string m_dumpName;  // unique among the live objects of the process; empty until the first report
    char m_dumpPath[64] = {};
    std::FILE* m_dumpFile = nullptr;
    int m_dumpIndex = 0;            // number of the open dump file
    unsigned long m_dumpSize = 0;   // bytes written to it
    sqlite3* m_sqlite = nullptr;
};
