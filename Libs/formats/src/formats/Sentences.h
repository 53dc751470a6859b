// Comma-separated sentences on the wire: their fields, a number field read the
// way atoi reads it, and the type of a motion sensor's $PQRV sentence. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Field `number` of a comma-separated sentence, counted from 1 (the talker is
// field 1); a field also ends at a carriage return or line feed. nullopt when the
// sentence has fewer fields.
std::optional<std::string_view> SentenceField(std::string_view sentence, int number);

// A number field read the way atoi reads it (leading blanks and sign, digits,
// the rest ignored; no number gives 0), but nullopt when its digits do not fit
// 32 bits, where atoi's result is undefined and strtol's is cut to its limit.
std::optional<std::int32_t> FieldInteger(std::string_view text);

namespace formats {

// True for bytes that start with the motion sensor's talker "$PQRV".
bool IsSensorSentence(std::string_view bytes);

// The type of a $PQRV sentence: field 2 as a decimal integer (blanks and a sign
// allowed before it, anything after it ignored). nullopt for no $PQRV sentence,
// and when field 2 is missing, holds no number or one beyond 32 bits.
std::optional<std::int32_t> SensorSentenceType(std::string_view bytes);

}  // namespace formats
