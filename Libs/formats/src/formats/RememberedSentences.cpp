#include "formats/RememberedSentences.h"

#include <cstdlib>

namespace {

constexpr std::string_view SentenceStart = "$PQRV,";
constexpr std::size_t TypeOffset = 6;
constexpr std::size_t TypeLength = 2;
constexpr std::size_t KeyOffset = 9;

// A decimal number the way atoi reads it, from a piece that need not end in NUL.
std::int32_t NumberIn(std::string_view piece)
{
    return static_cast<std::int32_t>(std::strtol(std::string(piece).c_str(), nullptr, 10));
}

}  // namespace

std::optional<CRememberedSentences::Place> CRememberedSentences::PlaceOf(std::string_view text)
{
    // Type at offsets 6 and 7, key from offset 9 to the next comma; a shorter
    // text has neither and is no sentence to remember.
    if (text.find(SentenceStart) == std::string_view::npos || text.size() <= KeyOffset) {
        return std::nullopt;
    }
    const std::string_view keyText = text.substr(KeyOffset);
    return Place { NumberIn(text.substr(TypeOffset, TypeLength)), NumberIn(keyText.substr(0, keyText.find(','))) };
}

const std::string* CRememberedSentences::Remembered(const Place& place) const
{
    if (place.type == 25 || place.type == 26) {
        const auto& byKey = place.type == 25 ? m_type25 : m_type26;
        const auto entry = byKey.find(place.key);
        return entry != byKey.end() ? &entry->second : nullptr;
    }
    return place.type == 27 && m_type27 ? &*m_type27 : nullptr;
}

CRememberedSentences::Outcome CRememberedSentences::Take(std::string_view text)
{
    const auto place = PlaceOf(text);
    if (!place || (place->type != 25 && place->type != 26 && place->type != 27)) {
        return Outcome::Ignored;
    }
    if (const std::string* remembered = Remembered(*place)) {
        if (*remembered == text) {
            return Outcome::Known;
        }
        m_type25.clear();
        m_type26.clear();
        m_type27.reset();
        return Outcome::Changed;
    }
    if (place->type == 27) {
        m_type27 = std::string(text);
    } else {
        (place->type == 25 ? m_type25 : m_type26).emplace(place->key, text);
    }
    return Outcome::New;
}

void CRememberedSentences::Forget(std::string_view text)
{
    const auto place = PlaceOf(text);
    if (!place) {
        return;
    }
    const std::string* remembered = Remembered(*place);
    if (remembered == nullptr || *remembered != text) {
        return;
    }
    if (place->type == 27) {
        m_type27.reset();
    } else {
        (place->type == 25 ? m_type25 : m_type26).erase(place->key);
    }
}
