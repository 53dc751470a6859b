// The socket-name table: the UDP port of a named socket of the survey system
// (the supervisor finds its control port by its process name). Constant data;
// callable from any thread.
#pragma once

#include <cstdint>
#include <string_view>

// The port of the socket named exactly `name` (case-sensitive, no trimming), or
// 0 for a name that is not in the table.
std::uint16_t portForSocketName(std::string_view name);

// The operator-status port on the local host that the loggers report to.
constexpr std::uint16_t OperatorStatusPort = 4002;
