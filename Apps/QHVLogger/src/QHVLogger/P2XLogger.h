// CP2XLogger, the P2X logger: while logging is on it writes each distinct $PQRV
// sentence of types 25, 26 and 27 (per type and key) once per .p2x file and
// starts a new file whenever a remembered sentence changes. Jobs run in its
// input thread; the receive handler in its I/O thread; signals reach it from
// other threads only through PutExternal.
#pragma once

#include "QHVLogger/LoggerFsm.h"
#include "formats/RememberedSentences.h"

#include <cstdint>
#include <string>

class CGetToken;

class CP2XLogger : public CLoggerFsm<CP2XLogger> {
public:
    // Connects its own database object as "P2XLogger" and reads its settings
    // from `tokens`, which must outlive the logger. Ends the process with exit
    // code -1 when the log-file stream cannot be created.
    CP2XLogger(const char* name, LogTrace* trace, std::uint8_t debugMask, CGetToken& tokens);
    ~CP2XLogger() override;

    // Traces and reports (message 1445) an episode of P2X datagrams dropped at a full queue.
    void OnInputDropped(std::uint64_t droppedSoFar) override;

private:
    friend class CLoggerFsm<CP2XLogger>;
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

    // Writes the sentence when it is new to the file; on a change queues the
    // close of the file and the sentence again, which then opens the next file.
    void LogSentence(const CTRXSignal& sentence);

    CRememberedSentences m_remembered;
};
