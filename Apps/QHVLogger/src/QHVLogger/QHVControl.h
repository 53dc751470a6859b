// CQHVControl, the heave logger: while logging is on it writes every heave
// datagram from its data port as a record into the current .qhv file, starts new
// files on command and by interval, watches the data rate and reports its status.
// Jobs run in its input thread; the receive handler in its I/O thread; signals
// reach it from other threads only through PutExternal.
#pragma once

#include "QHVLogger/EventCounter.h"
#include "QHVLogger/LoggerFsm.h"

#include <cstdint>
#include <memory>

class CGetToken;

class CQHVControl : public CLoggerFsm<CQHVControl> {
public:
    // Connects its own database object as "QHVLogger" and reads its settings
    // from `tokens`, which must outlive the logger. Ends the process with exit
    // code -1 when the log-file stream cannot be created.
    CQHVControl(const char* name, LogTrace* trace, std::uint8_t debugMask, CGetToken& tokens);
    ~CQHVControl() override;

    // Traces and reports (message 1416) an episode of heave datagrams dropped at a full queue.
    void OnInputDropped(std::uint64_t droppedSoFar) override;

private:
    friend class CLoggerFsm<CQHVControl>;
    static const StateEntry* StateTable();

    // Its own jobs, in the order of the job tables.
    void JobWaitLogging(CTRXSignal** signal);
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

    void ReconfigureEventCounter();
    void DeleteEventCounter();
    void StartFileTimers();
    void StopFileTimers();

    bool m_twentySixMode = false;
    std::int32_t m_twentySixDrops = 0;  // 13-byte datagrams dropped since the last 52-byte one
    std::unique_ptr<CEventCounter<CQHVControl>> m_eventCounter;
};
