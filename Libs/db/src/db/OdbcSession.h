// The ODBC side of a database object: one connection, the statement in
// progress with its bound parameters and result columns, the reading of a row
// with its NULL indicators, the failure reports in the dump file, and what is
// done while the database is unavailable. Used by the thread of its owner only.
//
// A statement that finds the database unavailable (a lost connection, a
// timeout, a locked SQLite file) pauses the session. Until the pause is over
// statements are not run but reported as without a connection ("506 (-2):
// <statement>"). The first statement after the pause tries again, reconnecting
// first when the connection was lost; each failed attempt doubles the pause
// (1 s up to 60 s) and writes "<what> (<state>): <message>; next attempt in <n> s".
// A NULL column of a row read is an empty text or 0, with one dump line per
// statement ("510 (NULL in column <n,...>): <statement>").
#pragma once

#include "db/DBconnection.h"
#include "db/DumpFile.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class COdbcSession {
public:
    // Bound of each statement (SQL_ATTR_QUERY_TIMEOUT). psqlODBC has the server
    // end a statement that runs longer (57014); it cannot end a wait for a server
    // that does not answer at all (that takes the data source's TCP settings,
    // pqopt = tcp_user_timeout=...). The SQLite driver ignores it: a locked file
    // is waited for as long as the data source's Timeout= says, about twice over.
    static constexpr long StatementTimeoutSeconds = 3;
    static constexpr int FirstRetrySeconds = 1;
    static constexpr int LastRetrySeconds = 60;

    // The step codes of the dump-file lines: "<step> (<return code>): <statement>".
    static constexpr int StepAllocate = 506;
    static constexpr int StepExecute = 505;
    static constexpr int StepBind = 508;
    static constexpr int StepColumnCount = 509;
    static constexpr int StepNullColumn = 510;
    static constexpr int StepCutColumn = 511;

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

    // Where a result column of each row read goes.
    struct Column {
        static Column Unsigned(std::uint32_t* target);
        static Column Double(double* target);
        // At most size - 1 characters and a terminating zero.
        static Column Text(char* target, long size);

        int cType;
        void* target;
        long size;
    };

    // What reading a row gave.
    enum class Fetched { Row, RowWithInfo, NoRow, Failed };
    static bool IsRow(Fetched fetched) { return fetched == Fetched::Row || fetched == Fetched::RowWithInfo; }

    // Failures, pauses and NULL columns are written to `dump` (borrowed).
    explicit COdbcSession(CDumpFile& dump) : m_dump(dump) {}
    ~COdbcSession() { close(); }

    COdbcSession(const COdbcSession&) = delete;
    COdbcSession& operator=(const COdbcSession&) = delete;

    // Runs once the first connection is made, whether at connect() or at a later
    // attempt; false (a statement of it failed) leaves it to run again at the
    // next attempt.
    void setFirstConnection(std::function<bool()> prepare) { m_prepare = std::move(prepare); }

    // Forgets the connection and the pauses and takes the login for the next
    // connect(); false for a login that could not be kept.
    bool setLogin(const char* dataSource, const char* user, const char* password);
    // Connects and runs the first-connection preparation. A connect that fails is
    // tried again as a lost connection is (with the same pauses).
    bool connect();
    // Releases the statement in progress and the connection.
    void close();

    // True while the session holds a connection (made, not lost).
    bool isConnected() const { return m_dbc != nullptr; }
    // True while it holds a connection or has one to make again.
    bool hasDatabase() const { return m_dbc != nullptr || m_lost; }
    int lastReturnCode() const { return m_rc; }
    // True for the SQLite ODBC driver (known once the first connection is made).
    bool sqliteDriver() const { return m_sqliteDriver; }
    // The database as the driver names it (for SQLite the file); false when the
    // driver names none.
    bool databaseName(char* name, std::size_t size);

    // Allocates a statement, binds the result columns in order and executes the
    // text. A failing step is reported (allocation 506, binding `bindStepCode`,
    // execution 505) and gives false with the statement released.
    bool runStatement(const Statement& statement, std::initializer_list<Column> columns,
                      int bindStepCode = StepBind);
    // The single steps of runStatement, for queries that run them otherwise.
    // Allocation fails while the database is paused.
    bool allocStatement();
    bool bindColumn(int column, const Column& bound);
    bool execute(const Statement& statement);
    // True when the last step gave plain success (no information record).
    bool lastStepClean() const { return m_rc == 0; }
    // The number of result columns of the statement executed, or -1.
    int resultColumnCount();
    // A row into the bound columns: NULL columns become an empty text or 0,
    // written once per statement, as are texts longer than their buffer.
    Fetched fetch();
    // True when the last row read had a text cut to its buffer.
    bool rowCut() const { return m_columnCut; }
    void freeStatement();
    // Writes the failure report (prefix from step code and return code, the
    // statement, a line end) and releases the statement.
    void reportFailure(int stepCode, const Statement& statement);

private:
    static constexpr int MaxColumns = 16;
    static constexpr int MaxTexts = 4;

    // The preparation after the first connection; false when it failed.
    bool prepareConnection();
    // Whether a statement may run now: false while paused or never connected.
    // Ends a pause that is over, reconnecting first when the connection was lost.
    bool databaseReady();
    // After a failed call on the statement in progress: pauses the session when
    // the failure means the database is unavailable.
    void checkUnavailable();
    // Starts the next (doubled) pause; `lost` releases the connection.
    void pauseDatabase(bool lost, const char* what, const char* state, const char* message);
    void checkColumns();

    CDumpFile& m_dump;
    std::function<bool()> m_prepare;
    std::unique_ptr<CDBconnection> m_connection;
    void* m_dbc = nullptr;   // SQLHDBC borrowed from m_connection
    void* m_stmt = nullptr;  // SQLHSTMT of the statement in progress
    int m_rc = 0;
    // The columns bound to the statement in progress and their NULL indicators
    // (SQLLEN), and the lengths of its parameters.
    Column m_columns[MaxColumns] = {};
    long m_indicators[MaxColumns] = {};
    int m_columnCount = 0;
    long m_textLengths[MaxTexts] = {};
    std::string m_shown;  // the statement in progress as the dump file shows it
    bool m_nullReported = false;
    bool m_cutReported = false;
    bool m_columnCut = false;
    // Availability: while paused no statement runs until m_retryAt.
    bool m_paused = false;
    bool m_lost = false;      // the connection was released and must be made again
    bool m_prepared = false;  // the preparation after the first connection was done
    bool m_sqliteDriver = false;
    int m_pauseSeconds = 0;  // the last pause; 0 after a statement ran
    std::chrono::steady_clock::time_point m_retryAt;
};
