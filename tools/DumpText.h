// What the modes of qhvdump share: which kind of file a path holds, and the text
// of one record or line as the listing prints it, so that a listed file and a
// followed one read the same. Plain functions; a CUtcCache belongs to one thread.
#pragma once

#include "formats/QhvReader.h"
#include "ToolSupport.h"

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qhvdump {

enum class FileKind { Qhv, P2x };

struct InputFile {
    std::string path;
    FileKind kind;
};

// The extension of `path` with its dot, in lower case: ".qhv" for "A.QHV".
inline std::string LowerCaseExtension(const std::string& path)
{
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return extension;
}

// .qhv or .p2x in any letter case; nullopt for any other extension.
inline std::optional<FileKind> KindByExtension(const std::string& path)
{
    const std::string extension = LowerCaseExtension(path);
    if (extension == ".qhv") {
        return FileKind::Qhv;
    }
    if (extension == ".p2x") {
        return FileKind::P2x;
    }
    return std::nullopt;
}

inline void AppendHex(std::string& text, std::string_view bytes)
{
    static const char Digits[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(Digits[byte >> 4]);
        text.push_back(Digits[byte & 0x0F]);
    }
}

// "2025-01-31 23:59:58" of records in the same second as the one before
// without formatting it again: heave datagrams come many a second.
class CUtcCache {
public:
    const std::string& Text(std::uint32_t epoch)
    {
        if (!m_epoch || *m_epoch != epoch) {
            m_epoch = epoch;
            m_text = UtcText(epoch);
        }
        return m_text;
    }

private:
    std::optional<std::uint32_t> m_epoch;
    std::string m_text;
};

// A record on one line: "index length kind time hex\n", the time '-' when the
// record is shorter than 6 bytes.
inline std::string RecordText(std::uint64_t index, std::string_view bytes, CUtcCache& utc)
{
    std::string line = std::to_string(index) + " " + std::to_string(bytes.size()) + " " + KindOf(bytes) + " ";
    const std::optional<std::uint32_t> epoch = EpochOf(bytes);
    line += epoch ? utc.Text(*epoch) : "-";
    if (!bytes.empty()) {
        line += ' ';
        AppendHex(line, bytes);
    }
    line += '\n';
    return line;
}

// A .p2x line numbered, its control bytes as escapes: "3: $PQRV,...\r\n".
inline std::string LineText(std::uint64_t number, std::string_view text)
{
    return std::to_string(number) + ": " + tools::Shown(text) + "\n";
}

}  // namespace qhvdump
