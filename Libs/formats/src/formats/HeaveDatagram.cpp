#include "formats/HeaveDatagram.h"

namespace formats {

namespace {

constexpr std::size_t EpochOffset = 2;
constexpr std::size_t NoHeaveMarkOffset = 4;
constexpr char NoHeaveMark = '#';

unsigned char ByteAt(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

}  // namespace

HeaveKind HeaveLayoutOf(std::string_view bytes)
{
    if (bytes.size() < 2 || ByteAt(bytes, 0) != HeaveStartByte) {
        return HeaveKind::None;
    }
    if (bytes.size() == ShortHeaveLength && bytes[1] == 'R') {
        return HeaveKind::Short;
    }
    if (bytes.size() == LongHeaveLength && bytes[1] == 'S') {
        return HeaveKind::Long;
    }
    if (bytes.size() == BinaryHeaveLength && bytes[1] == 'Q') {
        return HeaveKind::Binary;
    }
    return HeaveKind::None;
}

HeaveKind HeaveKindOf(std::string_view bytes)
{
    const HeaveKind kind = HeaveLayoutOf(bytes);
    if (kind == HeaveKind::None || bytes[NoHeaveMarkOffset] == NoHeaveMark) {
        return HeaveKind::None;
    }
    return kind;
}

std::optional<std::uint32_t> HeaveEpoch(std::string_view bytes)
{
    if (bytes.size() < EpochOffset + 4) {
        return std::nullopt;
    }
    return std::uint32_t { ByteAt(bytes, EpochOffset) } << 24 | std::uint32_t { ByteAt(bytes, EpochOffset + 1) } << 16 |
           std::uint32_t { ByteAt(bytes, EpochOffset + 2) } << 8 | std::uint32_t { ByteAt(bytes, EpochOffset + 3) };
}

}  // namespace formats
