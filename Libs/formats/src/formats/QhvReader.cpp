#include "formats/QhvReader.h"

#include "formats/HeaveDatagram.h"
#include "formats/LogRecords.h"
#include "formats/Sentences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace qhvdump {

namespace {

using formats::HeaveStartByte;
using formats::LongHeaveLength;
using formats::ShortHeaveLength;

unsigned char ByteAt(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

// "0x53 'S'" for a printable byte, "0x07" for any other.
std::string ByteText(unsigned char byte)
{
    char text[16];
    if (byte >= 0x20 && byte < 0x7f) {
        std::snprintf(text, sizeof text, "0x%02X '%c'", byte, byte);
    } else {
        std::snprintf(text, sizeof text, "0x%02X", byte);
    }
    return text;
}

std::string Counted(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Where(const char* what, std::uint64_t number, std::uint64_t offset)
{
    return std::string(what) + " " + std::to_string(number) + " at offset " + std::to_string(offset) + ": ";
}

}  // namespace

char KindOf(std::string_view record)
{
    switch (formats::HeaveLayoutOf(record)) {
    case formats::HeaveKind::Short: return 'R';
    case formats::HeaveKind::Long: return 'S';
    case formats::HeaveKind::Binary:  // the heave logger writes no such datagram
    case formats::HeaveKind::None: break;
    }
    return '?';
}

std::optional<std::uint32_t> EpochOf(std::string_view record) { return formats::HeaveEpoch(record); }

std::string RecordProblem(std::string_view record)
{
    if (record.empty()) {
        return "length 0";
    }
    if (ByteAt(record, 0) != HeaveStartByte) {
        return "first byte " + ByteText(ByteAt(record, 0)) + ", not 0xAA";
    }
    if (KindOf(record) != '?') {
        return {};
    }
    if (record.size() == ShortHeaveLength || record.size() == LongHeaveLength) {
        const char expected = record.size() == ShortHeaveLength ? 'R' : 'S';
        return "length " + std::to_string(record.size()) + " with type byte " + ByteText(ByteAt(record, 1)) +
               ", not '" + expected + "'";
    }
    return "length " + std::to_string(record.size()) + " fits no heave datagram (13 bytes 'R', 52 bytes 'S')";
}

std::string UtcText(std::uint32_t epoch)
{
    const std::time_t seconds = epoch;
    std::tm utc {};
    ::gmtime_r(&seconds, &utc);
    char text[64];  // room for any year the compiler can imagine
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

int SentenceType(std::string_view line)
{
    const std::optional<std::int32_t> type = formats::SensorSentenceType(line);
    return type && *type >= 25 && *type <= 27 ? *type : 0;
}

CFileWindow::CFileWindow(const std::string& path, std::size_t bufferSize) : m_path(path), m_buffer(bufferSize)
{
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        throw std::runtime_error("cannot open \"" + path + "\": " + std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(m_fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(m_fd);
        throw std::runtime_error("cannot read \"" + path + "\": it is a folder");
    }
}

CFileWindow::~CFileWindow() { ::close(m_fd); }

bool CFileWindow::Ensure(std::size_t count)
{
    if (Available() >= count) {
        return true;
    }
    if (m_atEnd) {
        return false;
    }
    if (count > Capacity()) {
        throw std::logic_error("read window of " + std::to_string(Capacity()) + " bytes asked for " +
                               std::to_string(count));
    }
    // The bytes not yet consumed move to the front, so each read gets all the
    // room behind them.
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, Available());
        m_bufferOffset += m_begin;
        m_end -= m_begin;
        m_begin = 0;
    }
    while (Available() < count) {
        const ssize_t length = ::read(m_fd, m_buffer.data() + m_end, Capacity() - m_end);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("cannot read \"" + m_path + "\": " + std::strerror(errno));
        }
        if (length == 0) {
            m_atEnd = true;
            return false;
        }
        m_end += static_cast<std::size_t>(length);
    }
    return true;
}

CRecordReader::CRecordReader(const std::string& path, std::size_t bufferSize)
    : m_window(path, std::max(bufferSize, MinBufferSize))
{
}

bool CRecordReader::Next(Record& record)
{
    if (!m_torn.empty()) {
        return false;
    }
    if (!m_window.Ensure(formats::QhvLengthFieldSize)) {
        if (m_window.Available() == 1) {
            m_torn = Where("torn record", m_index, m_window.Offset()) + "only 1 byte of its length follows";
        }
        return false;
    }
    const std::size_t length = formats::QhvPayloadLength(m_window.Data());
    if (!m_window.Ensure(formats::QhvLengthFieldSize + length)) {
        m_torn = Where("torn record", m_index, m_window.Offset()) + "length " + std::to_string(length) + ", only " +
                 Counted(m_window.Available() - formats::QhvLengthFieldSize, "byte follows", "bytes follow");
        return false;
    }
    record.index = m_index++;
    record.offset = m_window.Offset();
    record.bytes = std::string_view(m_window.Data() + formats::QhvLengthFieldSize, length);
    m_window.Consume(formats::QhvLengthFieldSize + length);
    return true;
}

CLineReader::CLineReader(const std::string& path, std::size_t bufferSize)
    : m_window(path, std::max(bufferSize, MinBufferSize))
{
}

bool CLineReader::Next(Line& line)
{
    if (!m_torn.empty()) {
        return false;
    }
    for (;;) {
        const char* start = m_window.Data();
        const std::size_t available = m_window.Available();
        // The line end is looked for only where a logger's line can have it, so a
        // longer line is overlong however much of the file the window holds.
        const std::size_t searchable = std::min(available, MaxLineLength + 1);
        const void* end = std::memchr(start + m_searched, '\n', searchable - m_searched);
        if (end != nullptr) {
            const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - start);
            line.number = m_number++;
            line.offset = m_window.Offset();
            line.text = std::string_view(start, length);
            m_window.Consume(length + 1);
            m_searched = 0;
            return true;
        }
        m_searched = searchable;
        if (available > MaxLineLength) {
            m_torn = Where("overlong line", m_number, m_window.Offset()) + "more than " +
                     std::to_string(MaxLineLength) + " bytes without a line end";
            return false;
        }
        if (!m_window.Ensure(available + 1)) {
            if (available > 0) {
                m_torn = Where("torn line", m_number, m_window.Offset()) +
                         Counted(available, "byte", "bytes") + " without a line end";
            }
            return false;
        }
    }
}

}  // namespace qhvdump
