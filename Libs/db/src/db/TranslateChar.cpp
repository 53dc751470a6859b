#include "db/TranslateChar.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// The "!!" escapes in the order of their replacement bytes in the table file.
constexpr const char* kEscapes[CTranslateChar::EscapeCount] = {
    "!!AE", "!!ae", "!!OE", "!!oe", "!!AA", "!!aa", "!!o-",
    "!!u-", "!!n-", "!!e-", "!!i-", "!!a-", "!!u_", "!!o_",
};
constexpr std::size_t kEscapeLength = 4;

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Appends one code point as UTF-8; 0, negative values and values of 2048 and
// above produce nothing.
void AppendCodePoint(std::string& out, int value)
{
    if (value <= 0 || value >= 2048) {
        return;
    }
    if (value < 128) {
        out += static_cast<char>(value);
    } else {
        out += static_cast<char>(0xC0 | (value >> 6));
        out += static_cast<char>(0x80 | (value & 0x3F));
    }
}

}  // namespace

CTranslateChar::CTranslateChar(const char* fileName)
{
    if (fileName == nullptr) {
        return;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(fileName, "rb"), &std::fclose);
    if (file) {
        m_enabled = std::fread(m_table, 1, TableSize, file.get()) == static_cast<std::size_t>(TableSize);
    }
}

const char* CTranslateChar::translate(const char* text)
{
    if (!m_enabled || text == nullptr || std::strlen(text) >= static_cast<std::size_t>(BufferSize)) {
        return text;
    }
    std::memset(m_work, 0, sizeof m_work);
    std::strcpy(m_work, text);

    // Each pass replaces the first occurrence of every escape; a replacement
    // shortens the text by three characters, so the passes end.
    do {
        m_changed = false;
        for (int index = 0; index < EscapeCount; ++index) {
            char* found = std::strstr(m_work, kEscapes[index]);
            if (found == nullptr) {
                continue;
            }
            const std::size_t before = static_cast<std::size_t>(found - m_work);
            std::memset(m_scratch, 0, sizeof m_scratch);
            std::memcpy(m_scratch, m_work, before);
            m_scratch[before] = static_cast<char>(m_table[index]);
            std::strcpy(m_scratch + before + 1, found + kEscapeLength);
            std::memcpy(m_work, m_scratch, sizeof m_work);
            m_changed = true;
        }
    } while (m_changed);
    return m_work;
}

const std::map<unsigned char, std::string>& buildEscapeTable()
{
    // A function-local static is initialised exactly once, also when several
    // threads connect at the same time.
    static const std::map<unsigned char, std::string> table = [] {
        std::map<unsigned char, std::string> entries;
        for (int byte : { 161, 191, 193, 196, 197, 198, 201, 205, 209, 211, 214, 216, 218, 220,
                          223, 225, 228, 229, 230, 233, 237, 241, 243, 246, 248, 250, 252 }) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(byte));
            entries.emplace(static_cast<unsigned char>(byte), escape);
        }
        return entries;
    }();
    return table;
}

std::string escapeText(const char* text)
{
    std::string out;
    if (text == nullptr) {
        return out;
    }
    const auto& table = buildEscapeTable();
    for (const char* p = text; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const auto entry = byte >= 128 ? table.find(byte) : table.end();
        if (entry != table.end()) {
            out += entry->second;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string unescapeText(const char* text)
{
    std::string out;
    if (text == nullptr) {
        return out;
    }
    const char* p = text;
    while (*p != '\0') {
        int value = 0;
        if (p[0] == '\\' && p[1] == 'u') {
            p += 2;
            int digits = 0;
            for (int hex; digits < 4 && (hex = HexValue(*p)) >= 0; ++digits, ++p) {
                value = value * 16 + hex;
            }
            if (digits == 0) {
                value = 'u';
            }
        } else if (p[0] == '\\' && p[1] != '\0') {
            value = static_cast<signed char>(p[1]);
            p += 2;
        } else {
            // Taken as signed, so bytes 128 to 255 are dropped.
            value = static_cast<signed char>(p[0]);
            ++p;
        }
        AppendCodePoint(out, value);
    }
    return out;
}
