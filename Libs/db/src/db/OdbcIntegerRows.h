// A whole table of small integers read in one go over a short ODBC connection
// of its own (made and ended by the call), rows fetched in batches. For reading
// at start-up what a database object of the process would read row by row.
// Callable from any thread; each call has its own handles.
#pragma once

#include <cstdint>
#include <functional>

// Runs `statement` over a connection made with `connectString` and gives each
// row's `columns` values (1 to 8) to `row`, in order. A NULL reads as 0 and is
// written once to standard error: "510 (NULL in column <n,...>): <statement>".
// False after a failure, which is written to standard error as its message,
// the statement and the SQL state, one per line, and an empty line.
bool ReadIntegerRows(const char* connectString, const char* statement, int columns,
                     const std::function<void(const std::int32_t* values)>& row);
