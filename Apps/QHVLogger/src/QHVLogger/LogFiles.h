// Datagram log files of the loggers: paths from templates with time tokens,
// open (folders made, an existing file moved aside), flushed records and lines,
// records gathered while more datagrams wait and written together, close, each
// with its trace line. The process log gets a line for each file opened and
// closed (native path; records and bytes at close), whatever the debug mask.
// One object per logger, used by its state-machine thread.
#pragma once

#include "platform/LogFolder.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

class CFsmBase;
class CTRXSignal;
class LoggerStatistics;

// Replaces the time tokens _TOKY_, _TOKM_, _TOKD_, _TOKH_, _TOKN_, _TOKS_ (UTC
// date and time of `now`, or of the current time) and _TOKEPOCSEC_ (`epoch` in
// decimal) wherever they occur.
std::string ExpandFileNameTokens(const std::string& path, std::int32_t epoch, std::time_t now);
std::string ExpandFileNameTokens(const std::string& path, std::int32_t epoch);

// Each run of slashes becomes one slash, each run of backslashes one backslash.
std::string CollapseSeparators(const std::string& text);

class CDatagramLogFile {
public:
    // `extension` is the logger's file extension, ".qhv" or ".p2x"; `label`
    // names the logger's files in the process log ("Heave file opened: ...").
    CDatagramLogFile(const CFsmBase& owner, std::string extension, std::string label = "Log");
    // Writes what is gathered (FlushRecords).
    ~CDatagramLogFile();

    CDatagramLogFile(const CDatagramLogFile&) = delete;
    CDatagramLogFile& operator=(const CDatagramLogFile&) = delete;

    // The current log-file path, as the system built it (Windows form allowed).
    void SetPath(std::string path) { m_path = std::move(path); }
    const std::string& Path() const { return m_path; }
    const std::string& Extension() const { return m_extension; }
    bool IsOpen() const { return m_file.IsOpen(); }

    // Opens the current path for writing, creating missing folders and moving
    // an existing file of that name aside first, all through
    // platform::CLogFolder. A path it refuses (a control byte, too long,
    // outside the log roots) fails as an open does, with nothing touched, after
    // a trace line that says why. True when the file is open.
    bool OpenLogFile();

    // Moves the file at the current path to the same name with a local-time
    // suffix before the extension; where that name is taken, a counter _1, _2,
    // ... follows the suffix. Never replaces a file. True on success.
    bool RenameExistingLogFile();

    // Closes the file if one is open, after writing what is gathered; false
    // only when closing failed. A file that was open gets its one close line
    // in the process log either way.
    bool CloseLogFile();
    // The same at the end of the process (what is gathered written first), without the trace lines.
    void CloseAtProcessEnd();

    // Whole records (or lines) and their bytes in the open file, or in the
    // last one closed until the next opens.
    std::uint64_t RecordsWritten() const { return m_records; }
    std::uint64_t BytesWritten() const { return m_written; }

    // Appends one .qhv record: the signal's length as 16-bit little-endian,
    // then that many payload bytes; flushed at once. No payload, no record.
    // A record that cannot be written whole is cut off again, so the file
    // always ends with the last whole record.
    void WriteDatagramRecord(const CTRXSignal& signal);

    // Gathers the record WriteDatagramRecord would write, for a logger whose
    // queue holds more datagrams: the records go to the file together, with one
    // write, at FlushRecords, or by themselves once GatherBytes are gathered.
    // The logger calls FlushRecords as soon as no further datagram waits;
    // open, close, a move aside and a line write it first as well.
    void GatherDatagramRecord(const CTRXSignal& signal);
    // Writes the gathered records. Should the write fail or end short, the
    // file is cut back to the last whole record that reached it and the failure
    // is reported as for a single record; the rest are dropped. True when
    // nothing failed.
    bool FlushRecords();
    static constexpr std::size_t GatherBytes = 32768;

    // Appends one .p2x line: the bytes, then a line feed; flushed at once.
    bool WriteLine(const char* text, std::size_t length);

    // Called with the path whenever a failed write is traced (the first of a
    // run of failures, then at most once a second), on the writing thread.
    using WriteErrorReport = std::function<void(const std::string& path)>;
    void SetWriteErrorReport(WriteErrorReport report) { m_writeErrorReport = std::move(report); }

    // Where records, bytes, files opened and write errors are counted (none: null).
    void SetStatistics(LoggerStatistics* statistics) { m_statistics = statistics; }

private:
    bool OpenFailed() const;
    // Closes the open file and writes its close line to the process log; false
    // when closing reported an error.
    bool CloseOpenFile();
    bool RenameExistingLogFile(const platform::CLogFolder& folder);
    // The record in m_record, without a payload check; false when not open.
    bool AppendRecord(const CTRXSignal& signal);
    void ReportWriteError();

    const CFsmBase& m_owner;
    const std::string m_extension;
    const std::string m_label;
    std::string m_path;
    std::string m_nativePath;  // of the open file, for the process log
    platform::CFileDescriptor m_file;  // the open log file, written with plain writes
    std::string m_record;    // the records or the line being written, reused
    std::vector<std::size_t> m_recordEnds;  // where each record in m_record ends, reused
    std::uint64_t m_written = 0;  // bytes of whole records in the open file
    std::uint64_t m_records = 0;  // whole records in the open file
    // Write errors are traced once per run of failures, and again at most once
    // a second while it lasts.
    bool m_writeFailing = false;
    std::chrono::steady_clock::time_point m_lastWriteError {};
    WriteErrorReport m_writeErrorReport;
    LoggerStatistics* m_statistics = nullptr;
};
