// What the loggers' files hold, one unit each: a .qhv record is a 16-bit
// little-endian length, then that many bytes of the datagram as received; a
// .p2x line is a sentence, then a line feed. Pure functions over buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace formats {

inline constexpr std::size_t QhvLengthFieldSize = 2;
inline constexpr std::size_t MaxQhvPayload = 65535;  // what the length field can say

// Appends one .qhv record of the first `length` bytes of `payload`.
void AppendQhvRecord(std::string& buffer, const char* payload, std::uint16_t length);

// The payload length in a record's length field (QhvLengthFieldSize bytes).
std::size_t QhvPayloadLength(const char* lengthField);

// Appends one .p2x line: `text`, then "\n".
void AppendP2xLine(std::string& buffer, std::string_view text);

}  // namespace formats
