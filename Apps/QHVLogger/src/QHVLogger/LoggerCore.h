// The part the heave and the P2X logger have in common: their database object
// and message store, the log file, the logging settings and where they come from,
// the data port, the status sentences and the operator reports. Each logger owns
// one and uses it from its own thread (constructor, InitJob, jobs, destructor);
// only the data port's receive handler runs on the I/O thread.
#pragma once

#include "QHVLogger/LogFiles.h"
#include "QHVLogger/LoggerShared.h"
#include "QHVLogger/LoggerStatistics.h"
#include "db/DBoperations.h"
#include "db/Messages.h"

#include <log4cplus/loglevel.h>

#include <cstdint>
#include <memory>
#include <string>

class CFsmBase;
class CGetToken;
class CTRXSignal;

// What tells one logger from the other where they otherwise work alike.
struct LoggerProfile {
    const char* databaseName;  // the name its database object connects as
    const char* processName;   // its parameter row in the database
    const char* extension;     // of its log files
    LoggerTokenNames settingTokens;
    const char* maxWaitToken;
    std::int32_t defaultMaxWait;     // seconds, when the token reads 0
    std::int32_t defaultSourcePort;  // when the token reads 0
    int statusSentence;              // number of its status sentence
    log4cplus::LogLevel receiverLogLevel;
    bool reopenOnNewPort;  // move the receiver (reopen) rather than build a new one
    // Operator reports: trace text and message number.
    const char* noStreamText;
    int noStreamMessage;
    const char* noParametersText;
    int noParametersMessage;
    const char* noLogFileFormat;  // one %s: the path
    int noLogFileMessage;
    const char* noDataText;
    int noDataMessage;
    const char* inputDroppedFormat;  // one %llu: the datagrams dropped so far
    int inputDroppedMessage;
    LoggerStatistics& (*statistics)();  // its figures for the status and the metrics
    const char* label;  // the logger in the process log: "Heave", "P2X"
};

class CLoggerCore {
public:
    static constexpr std::int32_t DefaultFileInterval = 30;  // minutes, for a command without fields
    static constexpr std::int32_t NoLogFileReportEvery = 1000;

    // Connects the database object and writes the "DATABASE INFO" trace line;
    // creates the log-file stream or ends the process with exit code -1; reads
    // the maximum wait. `receive` is the logger's receive handler.
    CLoggerCore(const CFsmBase& owner, const LoggerProfile& profile, CGetToken& tokens,
                UdpReceiver::ReceiveHandler receive, UdpReceiver::BatchEndHandler batchEnd = {});
    ~CLoggerCore();

    CLoggerCore(const CLoggerCore&) = delete;
    CLoggerCore& operator=(const CLoggerCore&) = delete;

    // InitJob's part: the source port from its token, the data port bound, the I/O thread started.
    void OpenDataPort();
    // The end of the logger: receiver closed first, file and I/O thread last.
    void CloseDataPort() { m_dataPort.Close(); }
    void Finish(const char* traceText);
    // The termination job's part: the open file closed, with its line in the
    // process log, while the process still writes its log.
    void CloseFileAtProcessEnd() { m_logFile->CloseAtProcessEnd(); }

    // Reads the parameter row. On success takes directory, template and interval
    // from it and the source port from its token; on failure reports it. True on success.
    bool ReadParameters();
    // The parameter row as it stands in the database; false when it cannot be read.
    bool ReadParameterRow(LoggerParameters& row);

    // Takes the settings of a logging command: its fields 3 to 6, each empty one
    // from its token. A command without fields takes all from the tokens, with
    // defaults for interval and port when `withDefaults`, else keeping the port.
    void TakeCommandSettings(const CTRXSignal& command, bool withDefaults);
    // Logging was switched off by a command: nothing to resume after a crash.
    // (Taking a command's settings counts as switching on.)
    void LoggingOff();

    // Opens directory\template with its tokens expanded (`epoch` for
    // _TOKEPOCSEC_) as the log file. A successful open resets the failure count.
    bool OpenNewFile(std::int32_t epoch);
    CDatagramLogFile& LogFile() { return *m_logFile; }

    // The open failure on the first and every 1000th consecutive time.
    void ReportNoLogFile();
    void ReportNoData();
    // An episode of datagrams dropped at the full input queue (once per episode).
    void ReportInputDropped(std::uint64_t droppedSoFar);
    // Sends the status sentence; a status other than the last one sent (or the
    // first after a logging command) goes to the process log as well.
    void SendStatus(bool on);

    const LoggerSettings& Settings() const { return m_settings; }
    std::int32_t MaxWaitMs() const { return TimerDelayMs(m_maxWait, 1000); }
    std::int32_t FileIntervalMs() const { return TimerDelayMs(m_settings.interval, 60000); }
    CGetToken& Tokens() { return m_tokens; }
    CMessages& Messages() { return *m_messages; }
    LoggerStatistics& Statistics() { return m_statistics; }

    bool dataReceived = false;  // a datagram arrived since the last check

private:
    // Rebinds the data port when the port differs from the bound one (or
    // nothing is bound); a port no sensor can reach keeps the current receiver.
    void UseSourcePort(std::int32_t port);
    void BindDataPort();
    // What `port` is to this process when the logger must not listen on it, or
    // null when it may: the operator-status port would take the status
    // sentences, the control port or the other logger's port their datagrams.
    const char* PortOfThisProcess(std::uint16_t port) const;
    // A failed write to the log file (a full disk, say), as often as the log
    // file traces it: the operator gets the no-log-file message with the path.
    void ReportWriteError(const std::string& path);

    const CFsmBase& m_owner;
    const LoggerProfile& m_profile;
    LoggerStatistics& m_statistics;
    CGetToken& m_tokens;
    std::unique_ptr<CDBoperations> m_database;
    std::unique_ptr<CMessages> m_messages;
    std::unique_ptr<CDatagramLogFile> m_logFile;
    LoggerSettings m_settings;
    std::int32_t m_maxWait = 0;  // seconds
    std::int32_t m_noLogFileCount = 0;
    enum class Status { Unknown, On, Off };
    Status m_lastStatus = Status::Unknown;  // the last status sentence sent
    CLoggerDataPort m_dataPort;  // last: its receive handler may reach the logger's members
};
