#include "formats/Sentences.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::string_view SensorTalker = "$PQRV";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What a text's leading decimal integer reads as: blanks and a sign allowed
// before it, anything after it ignored.
enum class LeadingNumber { Value, None, TooLarge };

LeadingNumber ReadLeadingInteger(std::string_view text, std::int32_t& value)
{
    std::size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    if (at < text.size() && text[at] == '+') {
        ++at;
        if (at < text.size() && text[at] == '-') {
            return LeadingNumber::None;  // "+-5" is no number
        }
    }
    const auto result = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        return LeadingNumber::TooLarge;
    }
    return result.ec == std::errc() ? LeadingNumber::Value : LeadingNumber::None;
}

}  // namespace

std::optional<std::string_view> SentenceField(std::string_view sentence, int number)
{
    std::size_t start = 0;
    for (int field = 1; field < number; ++field) {
        const std::size_t comma = sentence.find(',', start);
        const std::size_t lineEnd = sentence.find_first_of("\r\n", start);
        if (comma == std::string_view::npos || comma > lineEnd) {
            return std::nullopt;  // the sentence ends before this field
        }
        start = comma + 1;
    }
    const std::size_t end = std::min(sentence.find_first_of(",\r\n", start), sentence.size());
    return sentence.substr(start, end - start);
}

std::optional<std::int32_t> FieldInteger(std::string_view text)
{
    std::int32_t value = 0;
    switch (ReadLeadingInteger(text, value)) {
    case LeadingNumber::Value: return value;
    case LeadingNumber::None: return 0;
    case LeadingNumber::TooLarge: break;
    }
    return std::nullopt;
}

namespace formats {

bool IsSensorSentence(std::string_view bytes)
{
    return bytes.compare(0, SensorTalker.size(), SensorTalker) == 0;
}

std::optional<std::int32_t> SensorSentenceType(std::string_view bytes)
{
    if (!IsSensorSentence(bytes)) {
        return std::nullopt;
    }
    const std::optional<std::string_view> field = SentenceField(bytes, 2);
    std::int32_t type = 0;
    if (!field || ReadLeadingInteger(*field, type) != LeadingNumber::Value) {
        return std::nullopt;
    }
    return type;
}

}  // namespace formats
