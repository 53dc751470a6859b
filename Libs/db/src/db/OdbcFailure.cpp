#include "db/OdbcFailure.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

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
