// Message texts of the other languages: unescapeText ("\u" escapes to UTF-8)
// must give well-formed UTF-8 for any text, and escapeText followed by
// unescapeText must turn Latin-1 text into the same text in UTF-8 (bytes that
// have no escape dropped, as unescapeText drops them).
#include "FuzzSupport.h"

#include "db/TranslateChar.h"

#include <cstdint>
#include <string>

namespace {

// Only one- and two-byte sequences: unescapeText produces nothing at or above 2048.
bool IsShortUtf8(const std::string& text)
{
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == 0) {
            return false;
        }
        if (byte < 0x80) {
            continue;
        }
        if (byte < 0xC2 || byte > 0xDF || at + 1 == text.size() ||
            (static_cast<unsigned char>(text[at + 1]) & 0xC0) != 0x80) {
            return false;
        }
        ++at;
    }
    return true;
}

std::string Utf8(unsigned char latin1)
{
    if (latin1 < 0x80) {
        return std::string(1, static_cast<char>(latin1));
    }
    return { static_cast<char>(0xC0 | (latin1 >> 6)), static_cast<char>(0x80 | (latin1 & 0x3F)) };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // NUL-terminated as the texts come from the database; a NUL inside ends it.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string unescaped = unescapeText(text.c_str());
    FUZZ_CHECK(IsShortUtf8(unescaped), fuzzsupport::Shown(text) + " gave " + fuzzsupport::Shown(unescaped));
    FUZZ_CHECK(unescaped.size() <= 2 * text.size(), fuzzsupport::Shown(text));

    // The same bytes read as Latin-1 text without backslashes.
    std::string latin1;
    std::string expected;
    const auto& table = buildEscapeTable();
    for (const char c : std::string(text.c_str())) {
        if (c == '\\') {
            continue;
        }
        latin1 += c;
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80 || table.count(byte) != 0) {
            expected += Utf8(byte);
        }
    }
    const std::string escaped = escapeText(latin1.c_str());
    const std::string back = unescapeText(escaped.c_str());
    FUZZ_CHECK(back == expected, fuzzsupport::Shown(latin1) + " escaped " + fuzzsupport::Shown(escaped) +
                                     " came back as " + fuzzsupport::Shown(back));
    bool ascii = true;
    for (const char c : latin1) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    FUZZ_CHECK(!ascii || (escaped == latin1 && back == latin1), fuzzsupport::Shown(latin1) + " changed");
    return 0;
}
