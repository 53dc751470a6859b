#include "formats/LogRecords.h"

namespace formats {

void AppendQhvRecord(std::string& buffer, const char* payload, std::uint16_t length)
{
    buffer.push_back(static_cast<char>(length & 0xFF));
    buffer.push_back(static_cast<char>(length >> 8));
    buffer.append(payload, length);
}

std::size_t QhvPayloadLength(const char* lengthField)
{
    const auto* field = reinterpret_cast<const unsigned char*>(lengthField);
    return std::size_t { field[0] } | std::size_t { field[1] } << 8;
}

void AppendP2xLine(std::string& buffer, std::string_view text)
{
    buffer.append(text);
    buffer.push_back('\n');
}

}  // namespace formats
