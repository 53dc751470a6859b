#include "QHVLogger/LogFiles.h"

#include "QHVLogger/LoggerStatistics.h"
#include "QHVLogger/ProcessWide.h"
#include "formats/LogRecords.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "platform/Files.h"
#include "platform/LogFolder.h"
#include "platform/Paths.h"
#include "platform/Time.h"

#include <log4cplus/loggingmacros.h>
#include <strings.h>
#include <unistd.h>

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

// Every occurrence of `token`, left to right, replaced in one pass over the
// text (a long text full of tokens costs no more than a long text).
void ReplaceAll(std::string& text, const std::string& token, const std::string& value)
{
    std::size_t at = text.find(token);
    if (at == std::string::npos) {
        return;
    }
    std::string replaced;
    replaced.reserve(text.size());
    std::size_t from = 0;
    for (; at != std::string::npos; at = text.find(token, from)) {
        replaced.append(text, from, at - from);
        replaced += value;
        from = at + token.size();
    }
    replaced.append(text, from, std::string::npos);
    text = std::move(replaced);
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

CDatagramLogFile::CDatagramLogFile(const CFsmBase& owner, std::string extension, std::string label)
    : m_owner(owner), m_extension(std::move(extension)), m_label(std::move(label))
{
}

CDatagramLogFile::~CDatagramLogFile()
{
    FlushRecords();
}

bool CDatagramLogFile::OpenLogFile()
{
    FlushRecords();  // gathered records belong to the file open now
    // Logging commands come from any host and name the folder. A path the
    // platform refuses touches nothing: no folder made, no file moved aside.
    const platform::CLogFolder folder = platform::CLogFolder::Open(m_path, true);
    if (folder.Error() != 0) {
        if (IsOpen()) {
            CloseLogFile();  // as before any open: one file at a time
        }
        if (!folder.Refusal().empty()) {
            m_owner.TraceData("\n\tError: Log-file path refused: %s.", folder.Refusal().c_str());
        }
        return OpenFailed();
    }

    if (folder.HoldsFile()) {
        if (!CloseLogFile()) {
            m_owner.TraceData("\n\tError: Not able to close old datagram log file:\n\t       '%s'", m_path.c_str());
            return false;
        }
        if (!RenameExistingLogFile(folder)) {
            return false;  // the old file stays untouched
        }
    } else if (IsOpen()) {
        CloseLogFile();  // one file at a time
    }

    platform::CFileDescriptor file;
    if (folder.CreateFile(file) != 0) {
        return OpenFailed();
    }
    m_file = std::move(file);
    m_written = 0;
    m_records = 0;
    m_nativePath = platform::NativePath(m_path);
    if (m_statistics != nullptr) {
        m_statistics->FileOpened(m_nativePath);
    }
    m_owner.TraceData("\n\tOpened datagram log file:\n\t%s", m_path.c_str());
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(m_label + " file opened: " + m_nativePath));
    return true;
}

bool CDatagramLogFile::OpenFailed() const
{
    m_owner.TraceData("\n\tError: Not able to open file:\n\t       '%s'", m_path.c_str());
    return false;
}

bool CDatagramLogFile::RenameExistingLogFile()
{
    FlushRecords();
    return RenameExistingLogFile(platform::CLogFolder::Open(m_path, false));
}

bool CDatagramLogFile::RenameExistingLogFile(const platform::CLogFolder& folder)
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
    // gets the next counter. The move happens in the open folder: only the
    // file's name changes.
    std::string renamed = stem + m_extension;
    int error = folder.RenameNoReplace(folder.Name(), renamed.substr(nameStart));
    for (int counter = 1; error == EEXIST && counter <= MaxRenameCounter; ++counter) {
        renamed = stem + "_" + std::to_string(counter) + m_extension;
        error = folder.RenameNoReplace(folder.Name(), renamed.substr(nameStart));
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
    FlushRecords();
    if (m_file.IsOpen() && !CloseOpenFile()) {
        m_owner.TraceData("\n\tWARNING: Not able to close datagram log file:\n\t         %s.", m_path.c_str());
        return false;
    }
    if (m_statistics != nullptr) {
        m_statistics->FileClosed();
    }
    m_owner.TraceData("\n\t Closed datagram log file:\n\t %s.", m_path.c_str());
    return true;
}

void CDatagramLogFile::CloseAtProcessEnd()
{
    FlushRecords();
    if (m_file.IsOpen()) {
        CloseOpenFile();
    }
}

bool CDatagramLogFile::CloseOpenFile()
{
    // The descriptor is released even when close reports an error (a delayed
    // write error, say): the file counts as closed, with what it holds.
    const bool closed = m_file.Reset() == 0;
    // A .p2x file holds lines, a .qhv file records.
    const char* unit = strcasecmp(m_extension.c_str(), ".p2x") == 0 ? " line" : " record";
    const std::string counts = ", " + std::to_string(m_records) + unit + (m_records == 1 ? ", " : "s, ") +
                               std::to_string(m_written) + (m_written == 1 ? " byte" : " bytes");
    if (closed) {
        LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(m_label + " file closed: " + m_nativePath + counts));
    } else {
        LOG4CPLUS_WARN(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(m_label + " file closed with an error: " +
                                                                     m_nativePath + counts));
    }
    return closed;
}

void CDatagramLogFile::WriteDatagramRecord(const CTRXSignal& signal)
{
    GatherDatagramRecord(signal);
    FlushRecords();
}

void CDatagramLogFile::GatherDatagramRecord(const CTRXSignal& signal)
{
    if (signal.Payload() == nullptr || signal.Length() < 0) {
        return;
    }
    if (!AppendRecord(signal)) {
        return;
    }
    if (m_record.size() >= GatherBytes) {
        FlushRecords();
    }
}

bool CDatagramLogFile::AppendRecord(const CTRXSignal& signal)
{
    if (!m_file.IsOpen()) {
        m_owner.TraceData("\n\tERROR: Datagram log file not open:\n\t       %s.", m_path.c_str());
        return false;
    }
    // The length field holds 16 bits; never more payload bytes than it says
    // (and never more than the payload has).
    const auto length = static_cast<std::uint16_t>(signal.Length());
    formats::AppendQhvRecord(m_record, signal.Payload(), length);  // m_record keeps its capacity
    m_recordEnds.push_back(m_record.size());
    return true;
}

bool CDatagramLogFile::WriteLine(const char* text, std::size_t length)
{
    FlushRecords();
    if (!m_file.IsOpen()) {
        m_owner.TraceData("\n\tERROR: Datagram log file not open:\n\t       %s.", m_path.c_str());
        return false;
    }
    formats::AppendP2xLine(m_record, text != nullptr ? std::string_view(text, length) : std::string_view());
    m_recordEnds.push_back(m_record.size());
    return FlushRecords();
}

bool CDatagramLogFile::FlushRecords()
{
    if (m_record.empty()) {
        return true;
    }
    // No buffer beyond the records gathered while more datagrams wait: they go
    // to the file in one write (more only after a short one), so the file is
    // complete up to its last record whenever the logger waits for input, and
    // a failed write leaves nothing behind to be written again.
    std::size_t reached = 0;
    const bool written = m_file.IsOpen() && platform::WriteAll(m_file.Get(), m_record.data(), m_record.size(),
                                                               reached) == 0;
    if (written) {
        m_written += m_record.size();
        m_records += m_recordEnds.size();
        m_writeFailing = false;
        if (m_statistics != nullptr) {
            m_statistics->Written(m_recordEnds.size(), m_record.size());
        }
    } else {
        // Part of the records may have reached the file (disk full, file-size
        // limit). A reader follows the length prefixes, so a torn record would
        // misalign every later one: keep the whole records that reached the
        // file, cut it back to the last of them, through the open descriptor,
        // and put the write position there, where the next record goes. Should
        // either fail, the trace line below is all that can be done.
        std::size_t whole = 0;
        std::size_t wholeRecords = 0;
        for (const std::size_t end : m_recordEnds) {
            if (end > reached) {
                break;
            }
            whole = end;
            ++wholeRecords;
        }
        m_written += whole;
        m_records += wholeRecords;
        [[maybe_unused]] const int cut = ::ftruncate(m_file.Get(), static_cast<off_t>(m_written));
        [[maybe_unused]] const off_t placed = ::lseek(m_file.Get(), static_cast<off_t>(m_written), SEEK_SET);
        if (m_statistics != nullptr) {
            m_statistics->Written(wholeRecords, whole);
            m_statistics->WriteFailed();
        }
        ReportWriteError();
    }
    m_record.clear();
    m_recordEnds.clear();
    return written;
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
