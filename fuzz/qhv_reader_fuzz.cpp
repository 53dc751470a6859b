// qhvdump's readers over a file of any content (the input, repeated), read with
// the smallest window and, when it is larger, with the default one too (both
// must see the same): CRecordReader
// must give each whole record at its offset, the length field's bytes exactly,
// and stop at a torn one; CLineReader each line with its "\n", never one longer
// than a logger writes, and report a torn or overlong last line. The record
// rules (KindOf, EpochOf, RecordProblem, SentenceType) must agree with each other
// and SentenceType with the loggers' reading of a $PQRV sentence's type.
#include "FuzzSupport.h"

#include "formats/QhvReader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

int g_file = -1;
std::string g_path;

// The type of a $PQRV sentence the way the loggers take it, field 2 read by
// strtol: 25, 26 or 27, else 0.
int SensorType(const std::string& line)
{
    const std::vector<std::string> fields = fuzzsupport::Fields(line);
    if (line.compare(0, 5, "$PQRV") != 0 || fields.size() < 2) {
        return 0;
    }
    char* end = nullptr;
    const long type = std::strtol(fields[1].c_str(), &end, 10);
    return end != fields[1].c_str() && type >= 25 && type <= 27 ? static_cast<int>(type) : 0;
}

std::string Records(const std::string& data, std::size_t bufferSize)
{
    qhvdump::CRecordReader reader(g_path, bufferSize);
    std::string seen;
    std::size_t at = 0;
    qhvdump::Record record;
    for (std::uint64_t index = 0; reader.Next(record); ++index) {
        FUZZ_CHECK(at + 2 <= data.size(), "record past the end");
        const std::size_t length = static_cast<unsigned char>(data[at]) | static_cast<unsigned char>(data[at + 1]) << 8;
        FUZZ_CHECK(record.index == index && record.offset == at && record.bytes == data.substr(at + 2, length),
                   "record " + std::to_string(index) + " at " + std::to_string(at));
        const char kind = qhvdump::KindOf(record.bytes);
        const bool heave = length > 1 && record.bytes[0] == '\xAA' &&
                           ((length == 13 && record.bytes[1] == 'R') || (length == 52 && record.bytes[1] == 'S'));
        FUZZ_CHECK((kind != '?') == heave && qhvdump::RecordProblem(record.bytes).empty() == heave,
                   fuzzsupport::Shown(std::string(record.bytes)));
        FUZZ_CHECK(qhvdump::EpochOf(record.bytes).has_value() == (length >= 6), "epoch");
        if (const auto epoch = qhvdump::EpochOf(record.bytes)) {
            FUZZ_CHECK(qhvdump::UtcText(*epoch).size() == 19, qhvdump::UtcText(*epoch));
        }
        seen += std::to_string(record.offset) + ":" + std::to_string(length) + ";";
        at += 2 + length;
    }
    const std::size_t rest = data.size() - at;
    if (reader.Torn().empty()) {
        FUZZ_CHECK(rest == 0, std::to_string(rest) + " bytes after the last record, not reported");
    } else {
        const std::size_t length =
            rest >= 2 ? (static_cast<unsigned char>(data[at]) | static_cast<unsigned char>(data[at + 1]) << 8) : 0;
        FUZZ_CHECK(rest == 1 || (rest >= 2 && 2 + length > rest), reader.Torn());
        FUZZ_CHECK(reader.Torn().find(" at offset " + std::to_string(at) + ":") != std::string::npos, reader.Torn());
    }
    return seen + reader.Torn();
}

std::string Lines(const std::string& data, std::size_t bufferSize)
{
    qhvdump::CLineReader reader(g_path, bufferSize);
    std::string seen;
    std::size_t at = 0;
    qhvdump::Line line;
    for (std::uint64_t number = 1; reader.Next(line); ++number) {
        const std::size_t end = data.find('\n', at);
        FUZZ_CHECK(end != std::string::npos && line.number == number && line.offset == at &&
                       line.text == std::string_view(data).substr(at, end - at),
                   "line " + std::to_string(number) + " at " + std::to_string(at));
        FUZZ_CHECK(line.text.size() <= qhvdump::CLineReader::MaxLineLength,
                   "a line of " + std::to_string(line.text.size()) + " bytes read with a window of " +
                       std::to_string(bufferSize));
        const int type = qhvdump::SentenceType(line.text);
        FUZZ_CHECK(type == SensorType(std::string(line.text)), fuzzsupport::Shown(std::string(line.text)));
        seen += std::to_string(line.offset) + ";";
        at = end + 1;
    }
    const std::size_t end = data.find('\n', at);
    const std::size_t length = (end == std::string::npos ? data.size() : end) - at;
    if (reader.Torn().empty()) {
        FUZZ_CHECK(at == data.size(), "bytes after the last line, not reported");
    } else if (reader.Torn().compare(0, 9, "torn line") == 0) {
        FUZZ_CHECK(end == std::string::npos && length > 0 && length <= qhvdump::CLineReader::MaxLineLength,
                   reader.Torn());
    } else {
        FUZZ_CHECK(length > qhvdump::CLineReader::MaxLineLength, reader.Torn());
    }
    return seen + reader.Torn();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The file lives in memory: opened again through /proc, as qhvdump opens a path.
    g_file = ::memfd_create("qhv-reader-fuzz", MFD_CLOEXEC);
    if (g_file < 0) {
        fuzzsupport::Fail("memfd_create", "no file for the readers");
    }
    g_path = "/proc/self/fd/" + std::to_string(g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte repeats the rest (up to "\xFF\xFF", what follows comes once
    // at the end) up to 64 times, so that small inputs make files larger than
    // the read window, with records and lines across its refills.
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t split = rest.find("\xFF\xFF");
    const std::string piece = rest.substr(0, split);
    std::string content;
    for (int copies = 1 + data[0] % 64; copies > 0; --copies) {
        content += piece;
    }
    if (split != std::string::npos) {
        content += rest.substr(split + 2);
    }
    if (::ftruncate(g_file, 0) != 0 ||
        ::pwrite(g_file, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size())) {
        fuzzsupport::Fail("memfd write", std::to_string(content.size()) + " bytes");
    }
    const std::string records = Records(content, 0);
    const std::string lines = Lines(content, 0);
    // A file within the smallest window is read whole either way.
    if (content.size() > qhvdump::CRecordReader::MinBufferSize) {
        const std::string wide = Records(content, qhvdump::CRecordReader::DefaultBufferSize);
        FUZZ_CHECK(wide == records, "the window size changed the records: " + records + " / " + wide);
        const std::string wideLines = Lines(content, qhvdump::CLineReader::DefaultBufferSize);
        FUZZ_CHECK(wideLines == lines, "the window size changed the lines: " + lines + " / " + wideLines);
    }
    return 0;
}
