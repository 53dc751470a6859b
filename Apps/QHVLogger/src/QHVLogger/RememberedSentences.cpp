#include "QHVLogger/RememberedSentences.h"

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

CRememberedSentences::Outcome CRememberedSentences::Take(std::string_view text)
{
    // Type at offsets 6 and 7, key from offset 9 to the next comma; a shorter
    // text has neither and is no sentence to remember.
    if (text.find(SentenceStart) == std::string_view::npos || text.size() <= KeyOffset) {
        return Outcome::Ignored;
    }
    const std::int32_t type = NumberIn(text.substr(TypeOffset, TypeLength));
    const std::string_view keyText = text.substr(KeyOffset);
    const std::int32_t key = NumberIn(keyText.substr(0, keyText.find(',')));

    const std::string* remembered = nullptr;
    if (type == 25 || type == 26) {
        auto& byKey = type == 25 ? m_type25 : m_type26;
        const auto [entry, inserted] = byKey.try_emplace(key, text);
        if (inserted) {
            return Outcome::New;
        }
        remembered = &entry->second;
    } else if (type == 27) {
        if (!m_type27) {
            m_type27 = std::string(text);
            return Outcome::New;
        }
        remembered = &*m_type27;
    } else {
        return Outcome::Ignored;
    }
    if (*remembered == text) {
        return Outcome::Known;
    }
    m_type25.clear();
    m_type26.clear();
    m_type27.reset();
    return Outcome::Changed;
}
