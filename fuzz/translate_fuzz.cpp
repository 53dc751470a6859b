// Language-3 message texts: CTranslateChar::translate replaces the "!!" escapes
// by the bytes of the translation table. The first input byte picks one of three
// tables: Latin-1 letters (the result must equal a plain left-to-right
// replacement), bytes that form new escapes ("!", letters, "-", "_"), and one
// with NUL bytes. For every table the result holds no escape any more, is never
// longer than the text, and a text of 2000 characters or more passes unchanged.
#include "FuzzSupport.h"

#include "db/TranslateChar.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char* Escapes[CTranslateChar::EscapeCount] = {
    "!!AE", "!!ae", "!!OE", "!!oe", "!!AA", "!!aa", "!!o-", "!!u-", "!!n-", "!!e-", "!!i-", "!!a-", "!!u_", "!!o_",
};

std::unique_ptr<CTranslateChar> g_translators[3];
std::string g_letters;

std::unique_ptr<CTranslateChar> MakeTranslator(const std::string& name, std::string table)
{
    table.resize(CTranslateChar::TableSize, 'x');
    const std::string path = fuzzsupport::DriveRoot() + "/" + name;
    fuzzsupport::WriteWholeFile(path, table.data(), table.size());
    auto translator = std::make_unique<CTranslateChar>(path.c_str());
    if (!translator->enabled()) {
        fuzzsupport::Fail("translator set-up", path);
    }
    return translator;
}

// Each escape replaced where it starts, from left to right.
std::string LeftToRight(const std::string& text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        int found = -1;
        for (int index = 0; index < CTranslateChar::EscapeCount && found < 0; ++index) {
            if (text.compare(at, 4, Escapes[index]) == 0) {
                found = index;
            }
        }
        if (found >= 0) {
            out += g_letters[static_cast<std::size_t>(found)];
            at += 4;
        } else {
            out += text[at++];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_letters = "\xC6\xE6\xD8\xF8\xC5\xE5\xF3\xFA\xF1\xE9\xED\xE1\xFC\xF6";
    g_translators[0] = MakeTranslator("letters.bin", g_letters);
    g_translators[1] = MakeTranslator("cascade.bin", "!A!e-!!_aEoE!!");
    g_translators[2] = MakeTranslator("nul.bin", std::string("\xC6\0!\xD8\0\xE5", 6) + "!!!!!!!!");
    // A missing file leaves the translator disabled: texts pass as they are.
    CTranslateChar disabled((fuzzsupport::DriveRoot() + "/missing.bin").c_str());
    if (disabled.enabled() || std::strcmp(disabled.translate("!!AE"), "!!AE") != 0) {
        fuzzsupport::Fail("disabled translator", "translated");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t table = data[0] % 3;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string text(bytes.c_str());  // NUL-terminated as it comes from the database
    const char* result = g_translators[table]->translate(text.c_str());
    const std::string detail = "table " + std::to_string(table) + ": " + fuzzsupport::Shown(text);

    if (text.size() >= CTranslateChar::BufferSize) {
        FUZZ_CHECK(result == text.c_str(), detail + " was copied");
        return 0;
    }
    const std::string translated(result);
    FUZZ_CHECK(translated.size() <= text.size(), detail + " grew to " + fuzzsupport::Shown(translated));
    for (const char* escape : Escapes) {
        FUZZ_CHECK(translated.find(escape) == std::string::npos,
                   detail + " kept an escape: " + fuzzsupport::Shown(translated));
    }
    if (table == 0) {
        FUZZ_CHECK(translated == LeftToRight(text),
                   detail + " gave " + fuzzsupport::Shown(translated) + ", expected " +
                       fuzzsupport::Shown(LeftToRight(text)));
    }
    return 0;
}
