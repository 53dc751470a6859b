#include "QHVLogger/LogFiles.h"

#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Time.h"

#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

std::string TwoDigits(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

void ReplaceAll(std::string& text, const std::string& token, const std::string& value)
{
    for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
        text.replace(at, token.size(), value);
    }
}

// "_yymmddHHMMSS" of the local time now, or ten zeros when it cannot be had.
std::string LocalTimeSuffix()
{
    const std::tm local = platform::LocalTime(platform::Now().seconds);
    char text[32];
    if (std::strftime(text, sizeof text, "_%y%m%d%H%M%S", &local) == 0) {
        return "0000000000";
    }
    return text;
}

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// Names tried when moving a file aside: the plain suffixed name, then the
// counters _1 up to this one.
constexpr int MaxRenameCounter = 999;

}  // namespace

std::string ExpandFileNameTokens(const std::string& path, std::int32_t epoch, std::time_t now)
{
    const std::tm utc = platform::UtcTime(now);
    char year[16];
    std::snprintf(year, sizeof year, "%04d", utc.tm_year + 1900);

    std::string expanded = path;
    ReplaceAll(expanded, "_TOKY_", year);
    ReplaceAll(expanded, "_TOKM_", TwoDigits(utc.tm_mon + 1));
    ReplaceAll(expanded, "_TOKD_", TwoDigits(utc.tm_mday));
    ReplaceAll(expanded, "_TOKH_", TwoDigits(utc.tm_hour));
    ReplaceAll(expanded, "_TOKN_", TwoDigits(utc.tm_min));
    ReplaceAll(expanded, "_TOKS_", TwoDigits(utc.tm_sec));
    ReplaceAll(expanded, "_TOKEPOCSEC_", std::to_string(epoch));
    return expanded;
}

std::string ExpandFileNameTokens(const std::string& path, std::int32_t epoch)
{
    return ExpandFileNameTokens(path, epoch, platform::Now().seconds);
}

std::string CollapseSeparators(const std::string& text)
{
    std::string collapsed;
    collapsed.reserve(text.size());
    for (const char c : text) {
        if (IsPathSeparator(c) && !collapsed.empty() && collapsed.back() == c) {
            continue;
        }
        collapsed.push_back(c);
    }
    return collapsed;
}

CDatagramLogFile::CDatagramLogFile(const CFsmBase& owner, std::string extension)
    : m_owner(owner), m_extension(std::move(extension))
{
    // Unbuffered: every record goes to the file in one write, so a file is
    // complete up to its last record at any moment, and a failed write leaves
    // nothing behind in a buffer to be written again with the next record.
    m_stream.rdbuf()->pubsetbuf(nullptr, 0);
}

bool CDatagramLogFile::OpenLogFile()
{
    // Logging commands come from any host and name the folder. Outside the
    // log roots nothing is touched: no folder made, no file moved aside.
    if (!platform::WithinLogRoots(m_path)) {
        if (m_stream.is_open()) {
            CloseLogFile();  // as before any open: the stream holds one file at a time
        }
        return OpenFailed();
    }

    const std::string directory = platform::DirectoryPart(m_path);
    // Tested with stat: the process keeps its working directory.
    if (!directory.empty() && !platform::IsDirectory(directory)) {
        platform::CreateDirectoryLevels(directory);  // failures show when opening
    }

    if (platform::FileExists(m_path) && !platform::IsDirectory(m_path)) {
        if (!CloseLogFile()) {
            m_owner.TraceData("\n\tError: Not able to close old datagram log file:\n\t       '%s'", m_path.c_str());
            return false;
        }
        if (!RenameExistingLogFile()) {
            return false;  // the old file stays untouched
        }
    } else if (m_stream.is_open()) {
        CloseLogFile();  // the stream holds one file at a time
    }

    m_stream.open(platform::NativePath(m_path), std::ios::out | std::ios::binary | std::ios::trunc);
    if (!m_stream.is_open()) {
        m_stream.clear();
        return OpenFailed();
    }
    m_written = 0;
    m_owner.TraceData("\n\tOpened datagram log file:\n\t%s", m_path.c_str());
    return true;
}

bool CDatagramLogFile::OpenFailed() const
{
    m_owner.TraceData("\n\tError: Not able to open file:\n\t       '%s'", m_path.c_str());
    return false;
}

bool CDatagramLogFile::RenameExistingLogFile()
{
    const std::string suffix = LocalTimeSuffix();
    // The extension is looked for in the file name only: a folder whose name
    // holds it must not be renamed into a folder that does not exist. A name
    // without it gets suffix and extension appended.
    const std::size_t nameStart = platform::DirectoryPart(m_path).size();
    const std::size_t at = m_path.find(m_extension, nameStart);
    std::string stem = m_path;
    if (at == std::string::npos || m_extension.empty()) {
        stem += suffix;
    } else {
        stem.replace(at, m_extension.size(), suffix);
    }

    // Two moves within one second (or without a readable clock) would give the
    // same name; the file moved first must not be replaced, so a taken name
    // gets the next counter.
    std::string renamed = stem + m_extension;
    int error = platform::RenameNoReplace(m_path, renamed);
    for (int counter = 1; error == EEXIST && counter <= MaxRenameCounter; ++counter) {
        renamed = stem + "_" + std::to_string(counter) + m_extension;
        error = platform::RenameNoReplace(m_path, renamed);
    }
    if (error != 0) {
        m_owner.TraceData("\n\tERROR: %i. Could not rename existing datagram log file:\n\t       %s to\n\t       %s.",
                          error, m_path.c_str(), renamed.c_str());
        return false;
    }
    m_owner.TraceData("\n\tRenamed existing datagram log file:\n\t       %s to\n\t       %s.", m_path.c_str(),
                      renamed.c_str());
    return true;
}

bool CDatagramLogFile::CloseLogFile()
{
    if (m_stream.is_open()) {
        m_stream.flush();
        m_stream.close();
        if (m_stream.fail()) {
            m_stream.clear();
            m_owner.TraceData("\n\tWARNING: Not able to close datagram log file:\n\t         %s.", m_path.c_str());
            return false;
        }
    }
    m_stream.clear();
    m_owner.TraceData("\n\t Closed datagram log file:\n\t %s.", m_path.c_str());
    return true;
}

void CDatagramLogFile::WriteDatagramRecord(const CTRXSignal& signal)
{
    if (signal.Payload() == nullptr || signal.Length() < 0) {
        return;
    }
    if (!m_stream.is_open()) {
        m_owner.TraceData("\n\tERROR: Datagram log file not open:\n\t       %s.", m_path.c_str());
        return;
    }
    // The length field holds 16 bits; never more payload bytes than it says
    // (and never more than the payload has).
    const auto length = static_cast<std::uint16_t>(signal.Length());
    m_record.clear();  // keeps its capacity: no allocation per record
    m_record.push_back(static_cast<char>(length & 0xFF));
    m_record.push_back(static_cast<char>(length >> 8));
    m_record.append(signal.Payload(), length);
    WriteFlushed(m_record);
}

bool CDatagramLogFile::WriteLine(const char* text, std::size_t length)
{
    if (!m_stream.is_open()) {
        m_owner.TraceData("\n\tERROR: Datagram log file not open:\n\t       %s.", m_path.c_str());
        return false;
    }
    m_record.assign(text != nullptr ? text : "", text != nullptr ? length : 0);
    m_record.push_back('\n');
    return WriteFlushed(m_record);
}

bool CDatagramLogFile::WriteFlushed(const std::string& bytes)
{
    m_stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    m_stream.flush();
    if (!m_stream.fail()) {
        m_written += bytes.size();
        m_writeFailing = false;
        return true;
    }
    // Part of the record may have reached the file (disk full, file-size limit).
    // A reader follows the length prefixes, so a torn record would misalign
    // every later one: cut the file back to the last whole record and put the
    // write position there, where the next record goes.
    m_stream.clear();
    platform::TruncateFile(m_path, m_written);
    m_stream.seekp(static_cast<std::streamoff>(m_written));
    m_stream.clear();
    ReportWriteError();
    return false;
}

void CDatagramLogFile::ReportWriteError()
{
    // A full disk fails every record: one line per run of failures, and one a
    // second while it goes on, instead of one per record.
    const auto now = std::chrono::steady_clock::now();
    if (!m_writeFailing || now - m_lastWriteError >= std::chrono::seconds(1)) {
        m_owner.TraceData("\n\tERROR: Writing to datagram log file:\n\t       %s.", m_path.c_str());
        m_lastWriteError = now;
        if (m_writeErrorReport) {
            m_writeErrorReport(m_path);
        }
    }
    m_writeFailing = true;
}
