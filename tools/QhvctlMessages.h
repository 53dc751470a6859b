// qhvctl messages: the latest operator messages QHVLogger recorded in the system
// database, read through ODBC (data source "NTRXDB", the process's login), each
// with its time, number and text in the site's language. Main thread only.
#pragma once

#include <cstddef>
#include <ctime>
#include <iosfwd>
#include <optional>
#include <string>

namespace qhvctl {

struct MessagesRequest {
    std::optional<std::time_t> since;  // only messages from then on
    std::size_t limit = 20;            // at most this many, the latest
    bool utc = false;                  // times shown and read in UTC, else local time
};

// The moment `text` stands for: "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or
// "YYYY-MM-DD HH:MM:SS" (a 'T' may stand for the blank), in local time or with
// `utc` in UTC; or a span back from `now`: a whole number followed by s, m, h or
// d ("10m", "2h", "1d"). A tools::UsageError for anything else.
std::time_t SinceTime(const std::string& option, const std::string& text, std::time_t now, bool utc);

// True for "qhvctl messages ..." without a request for help.
bool IsMessagesCommand(int argc, char* argv[]);

// Reads the options after "messages" (--since, --limit, --utc) and prints the
// messages to `out`, oldest first: "YYYY-MM-DD HH:MM:SS.mmm  NUMBER  TEXT".
// Exit code 0; a database that cannot be reached or read throws
// std::runtime_error with the reason (exit code 1 through tools::RunTool).
int RunMessages(int argc, char* argv[], std::ostream& out);

}  // namespace qhvctl
