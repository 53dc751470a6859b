// What the diagnostic record of a failed ODBC call says about the database,
// and how a diagnostic is shown in a dump-file line. Pure functions, callable
// from any thread.
#pragma once

#include <string>

enum class Unavailable {
    No,    // the statement failed, the database is there
    Busy,  // the database is there but did not answer in time (locked, timed out)
    Lost,  // the connection is gone: it must be made again
};

// Measured with psqlODBC 13: a server stopped or restarted under a connection
// gives 57P01 ("terminating connection due to administrator command", "The
// connection is down") on the first statement and 08S01 ("... the connection
// lost") after it; a killed server process 08S01; a connect to a stopped server
// or one that does not answer 08001; a statement the server ends after the
// statement timeout 57014. The SQLite driver reports a locked file as HY000 with
// SQLite's code 5 (busy) or 6 (locked) as native error.
Unavailable ClassifyFailure(const char* state, int nativeError, const char* message, bool sqliteDriver);

// A diagnostic message on one line: each run of blanks and line ends becomes
// one space (none before a semicolon), a trailing separator goes.
std::string OneLine(const char* text);
