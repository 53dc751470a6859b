// Reading the loggers' files in a fixed amount of memory: the records of .qhv
// files and the lines of .p2x files, streamed through one buffer per reader,
// and qhvdump's view of a record and a line through the heave datagram and
// $PQRV rules of this library. A reader belongs to one thread; the free
// functions are pure.
#pragma once

#include "formats/LogRecords.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qhvdump {

// 'R' for a 13-byte heave datagram 0xAA 'R', 'S' for a 52-byte one 0xAA 'S',
// '?' for any other record.
char KindOf(std::string_view record);

// The big-endian UNIX time in bytes 2..5; nullopt for a record shorter than 6 bytes.
std::optional<std::uint32_t> EpochOf(std::string_view record);

// Why the record is no heave datagram ("length 0", "first byte 0x41, not 0xAA",
// ...); empty for a 13-byte 'R' or 52-byte 'S' datagram.
std::string RecordProblem(std::string_view record);

// "YYYY-MM-DD HH:MM:SS" of a UNIX time, in UTC.
std::string UtcText(std::uint32_t epoch);

// 25, 26 or 27 for a $PQRV sentence of that type (its field 2, read as the
// loggers read it); 0 for any other line.
int SentenceType(std::string_view line);

// A file's bytes, read ahead into one buffer of fixed size: the bytes from the
// current position on, as far as they have been read.
class CFileWindow {
public:
    // Opens `path` for reading; throws std::runtime_error naming the path and
    // the reason when it cannot be opened or is a folder.
    CFileWindow(const std::string& path, std::size_t bufferSize);
    ~CFileWindow();

    CFileWindow(const CFileWindow&) = delete;
    CFileWindow& operator=(const CFileWindow&) = delete;

    // Reads until `count` bytes (at most the buffer size) follow the current
    // position; false when the file ends first. Views into the window taken
    // before the call are no longer valid afterwards.
    bool Ensure(std::size_t count);

    const char* Data() const { return m_buffer.data() + m_begin; }
    std::size_t Available() const { return m_end - m_begin; }
    std::size_t Capacity() const { return m_buffer.size(); }
    // The file offset of Data().
    std::uint64_t Offset() const { return m_bufferOffset + m_begin; }
    void Consume(std::size_t count) { m_begin += count; }

private:
    std::string m_path;
    int m_fd = -1;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    std::uint64_t m_bufferOffset = 0;  // file offset of m_buffer[0]
    bool m_atEnd = false;
};

struct Record {
    std::uint64_t index = 0;   // from 0
    std::uint64_t offset = 0;  // of its length field
    std::string_view bytes;    // the datagram; valid until the next Next()
};

// The records of a .qhv file: a 16-bit little-endian length, then that many bytes.
class CRecordReader {
public:
    static constexpr std::size_t MinBufferSize = formats::QhvLengthFieldSize + formats::MaxQhvPayload;  // the longest record
    static constexpr std::size_t DefaultBufferSize = 256 * 1024;

    explicit CRecordReader(const std::string& path, std::size_t bufferSize = DefaultBufferSize);

    // The next whole record; false at the end of the file or at a torn record.
    bool Next(Record& record);

    // Once Next has returned false: "torn record N at offset X: ..." when the
    // file ends inside a record, empty when it ends after a whole one.
    const std::string& Torn() const { return m_torn; }

private:
    CFileWindow m_window;
    std::uint64_t m_index = 0;
    std::string m_torn;
};

struct Line {
    std::uint64_t number = 0;  // from 1
    std::uint64_t offset = 0;
    std::string_view text;     // without its "\n"; valid until the next Next()
};

// The lines of a .p2x file, each ended by "\n".
class CLineReader {
public:
    // A logger's line is a UDP datagram less one byte: never longer than this.
    static constexpr std::size_t MaxLineLength = 65536;
    static constexpr std::size_t MinBufferSize = MaxLineLength + 1;
    static constexpr std::size_t DefaultBufferSize = 256 * 1024;

    explicit CLineReader(const std::string& path, std::size_t bufferSize = DefaultBufferSize);

    // The next whole line; false at the end of the file, at a last line without
    // "\n" and at a line too long for a logger's (reading stops there).
    bool Next(Line& line);

    // Once Next has returned false: "torn line N at offset X: ..." or
    // "overlong line N at offset X: ...", empty when the file ends after a "\n".
    const std::string& Torn() const { return m_torn; }

private:
    CFileWindow m_window;
    std::uint64_t m_number = 1;
    std::size_t m_searched = 0;  // bytes of the current line already searched for "\n"
    std::string m_torn;
};

}  // namespace qhvdump
