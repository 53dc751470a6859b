// CQHVControl, the heave logger: while logging is on it writes every heave
// datagram from its data port as a record into the current .qhv file, starts new
// files on command and by interval, watches the data rate and reports its status.
// Jobs run in its input thread; the receive handler in its I/O thread; signals
// reach it from other threads only through PutExternal.
#pragma once

#include "QHVLogger/EventCounter.h"
#include "QHVLogger/LoggerCore.h"
#include "fsm/ApplFsm.h"

#include <cstdint>
#include <memory>

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

    void ReconfigureEventCounter();
    void DeleteEventCounter();
    void StartFileTimers();
    void StopFileTimers();

    bool m_twentySixMode = false;
    std::int32_t m_twentySixDrops = 0;  // 13-byte datagrams dropped since the last 52-byte one
    std::unique_ptr<CEventCounter<CQHVControl>> m_eventCounter;
    CLoggerCore m_core;  // last: its data port's receive handler queues into this machine
};
