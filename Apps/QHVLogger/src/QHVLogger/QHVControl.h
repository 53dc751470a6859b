// CQHVControl, the heave logger: while logging is on it writes every heave
// datagram from its data port as a record into the current .qhv file, starts new
// files on command and by interval, watches the data rate and reports its status.
// Jobs run in its input thread; the receive handler in its I/O thread; signals
// reach it from other threads only through PutExternal.
#pragma once

#include "QHVLogger/EventCounter.h"
#include "QHVLogger/LogFiles.h"
#include "QHVLogger/LoggerShared.h"
#include "db/DBoperations.h"
#include "db/Messages.h"
#include "fsm/ApplFsm.h"

#include <cstdint>
#include <memory>
#include <string>

class CGetToken;

class CQHVControl : public CApplFsm<CQHVControl, CTRXSignal> {
public:
    enum State : std::int32_t {
        IDLE = 1,        // created, parameters not read
        DBINIT,          // reading parameters from the database
        WAIT_LOGGING,    // parameters read, logging off
        PREP_LOGGING,    // logging on, no file open, waiting for the first datagram
        ACTIVE_LOGGING,  // logging on, a log file is open
        DBERROR,         // reading the parameters failed
    };

    // Connects its own database object as "QHVLogger" and reads its settings
    // from `tokens`, which must outlive the logger. Ends the process with exit
    // code -1 when the log-file stream cannot be created.
    CQHVControl(const char* name, LogTrace* trace, std::uint8_t debugMask, CGetToken& tokens);
    ~CQHVControl() override;

    // Binds the data port and starts the I/O thread (run by Start).
    void InitJob() override;

private:
    static const StateEntry* StateTable();

    // Jobs, in the order of the job tables.
    void JobReadDB(CTRXSignal** signal);
    void JobWaitLogging(CTRXSignal** signal);
    void JobReadDBError(CTRXSignal** signal);
    void JobPrepLogging(CTRXSignal** signal);
    void JobStartLogging(CTRXSignal** signal);
    void JobLog(CTRXSignal** signal);
    void JobNewFile(CTRXSignal** signal);
    void JobTimedNewFile(CTRXSignal** signal);
    void JobTimedPrepLogging(CTRXSignal** signal);
    void JobCheckInput(CTRXSignal** signal);
    void JobNoLogFile(CTRXSignal** signal);
    void JobStopPrep(CTRXSignal** signal);
    void JobStopLogging(CTRXSignal** signal);
    void JobInputFreqReport(CTRXSignal** signal);
    void JobTerminate(CTRXSignal** signal);
    void JobDisregardSig(CTRXSignal** signal);

    // The receive handler: classifies a datagram and queues it as a signal.
    void OnDatagram(const char* bytes, std::size_t length);

    void createDataSocket();
    // Takes a new source port: rebinds when it differs from the bound port (or
    // nothing is bound); a port no sensor can reach keeps the current receiver.
    void UseSourcePort(std::int32_t port);
    void ApplySettings(const LoggerSettings& settings);
    void ReconfigureEventCounter();
    void DeleteEventCounter();
    void StartFileTimers();
    void StopFileTimers();
    // Counts the datagram for the rate supervision and writes it as a record.
    void CountAndWrite(const CTRXSignal& datagram);
    void SendStatus(bool on);

    CGetToken& m_tokens;
    std::unique_ptr<CDBoperations> m_database;
    std::unique_ptr<CMessages> m_messages;
    std::unique_ptr<CDatagramLogFile> m_logFile;

    std::string m_directory;
    std::string m_fileTemplate;
    std::int32_t m_fileInterval = 0;  // minutes
    std::int32_t m_sourcePort = 0;
    std::int32_t m_maxWait = 20;      // seconds without data before a warning

    std::int32_t m_noLogFileCount = 0;
    bool m_dataReceived = false;
    bool m_twentySixMode = false;
    std::int32_t m_twentySixDrops = 0;  // 13-byte datagrams dropped since the last 52-byte one

    std::unique_ptr<CEventCounter<CQHVControl>> m_eventCounter;
    CLoggerDataPort m_dataPort;  // last member: its receive handler reaches the members above
};
