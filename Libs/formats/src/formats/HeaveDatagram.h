// The motion sensor's binary heave datagrams as they arrive on a data port and
// as the .qhv records hold them: the start byte 0xAA, a type byte, a fixed
// length per type, and the big-endian UNIX time in bytes 2 to 5. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace formats {

inline constexpr unsigned char HeaveStartByte = 0xAA;
inline constexpr std::size_t ShortHeaveLength = 13;   // type 'R'
inline constexpr std::size_t LongHeaveLength = 52;    // type 'S'
inline constexpr std::size_t BinaryHeaveLength = 44;  // type 'Q'

enum class HeaveKind {
    None,    // no heave datagram
    Short,   // 0xAA 'R', 13 bytes
    Long,    // 0xAA 'S', 52 bytes
    Binary,  // 0xAA 'Q', 44 bytes
};

// The kind by start byte, type byte and length alone.
HeaveKind HeaveLayoutOf(std::string_view bytes);

// The kind a logger takes a datagram for: its layout, unless a '#' at offset 4
// marks it as no heave datagram (then None).
HeaveKind HeaveKindOf(std::string_view bytes);

// The big-endian UNIX time in bytes 2 to 5; nullopt for fewer than 6 bytes.
std::optional<std::uint32_t> HeaveEpoch(std::string_view bytes);

}  // namespace formats
