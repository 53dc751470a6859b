// Character translation of operator message texts. CTranslateChar replaces the
// "!!" escapes of language-3 texts by the bytes of "translate.bin"; escapeText
// and unescapeText turn Latin-1 bytes into "\u" escapes and "\u" escapes into
// UTF-8 for the other languages. A translator is used only by the thread of its
// owner; the Latin-1 escape table is built once per process (thread-safe) and
// only read afterwards, so the two free functions may be called from any thread.
#pragma once

#include <map>
#include <string>

class CTranslateChar {
public:
    static constexpr int TableSize = 100;    // bytes read from the file
    static constexpr int EscapeCount = 14;   // "!!" escapes that have a replacement
    static constexpr int BufferSize = 2000;  // texts this long or longer pass unchanged

    // Reads the first TableSize bytes of the file; a missing or shorter file leaves
    // the translator disabled.
    explicit CTranslateChar(const char* fileName);
    virtual ~CTranslateChar() = default;

    CTranslateChar(const CTranslateChar&) = delete;
    CTranslateChar& operator=(const CTranslateChar&) = delete;

    // Replaces every "!!" escape by its byte. Returns the translator's own buffer
    // (valid until the next call), or `text` itself when the translator is disabled
    // or the text has BufferSize characters or more. A replacement byte of 0 ends
    // the text at that place.
    const char* translate(const char* text);

    bool enabled() const { return m_enabled; }

private:
    unsigned char m_table[TableSize] = {};
    char m_work[BufferSize] = {};
    char m_scratch[BufferSize] = {};
    bool m_enabled = false;
    bool m_changed = false;
};

// The process-wide table from Latin-1 byte to its "\uXXXX" escape (27 entries).
// The first call builds it; every call returns the same table.
const std::map<unsigned char, std::string>& buildEscapeTable();

// Each byte that has an entry in the Latin-1 escape table becomes its escape;
// every other byte stays.
std::string escapeText(const char* text);

// Decodes "\u" escapes (up to four hexadecimal digits) to UTF-8 and drops the
// backslash before any other character. Bytes 128 to 255 outside escapes, code
// points of 2048 and above, and code point 0 produce nothing.
std::string unescapeText(const char* text);
