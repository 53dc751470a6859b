// COrvantaControl, the supervisor: owns the control port, creates and starts the
// heave and P2X loggers, relays the logging commands to them and leads the
// termination of the process. Created and started by the run sequence in the
// main thread; its jobs run in its input thread, its receive handler in its I/O
// thread; signals reach it from other threads only through PutExternal.
// Under a service manager (systemd, Type=notify) it reports readiness once it
// supervises and keeps the service watchdog alive from its own input thread.
#pragma once

#include "QHVLogger/P2XLogger.h"
#include "QHVLogger/QHVControl.h"
#include "fsm/ApplFsm.h"
#include "net/IoThread.h"
#include "net/SocketData.h"
#include "net/UdpReceiver.h"
#include "platform/PortClaim.h"
#include "platform/ReportThrottle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CDBoperations;
class CGetToken;
class CMessages;

// The process-wide objects the run sequence hands to the supervisor and it to
// the loggers. All outlive the supervisor.
struct ProcessServices {
    CDBoperations& database;  // the process-wide database object "ORVANTA"
    CMessages& messages;      // bound to it
    CGetToken& tokens;
};

class COrvantaControl : public CApplFsm<COrvantaControl, CTRXSignal> {
public:
    enum State : std::int32_t {
        IDLE = 1,
        DBINIT,
        SUPERVISE,
        STATE_TERMINATE,
        DBERROR,
    };

    // A logger that has not answered a terminate within this time does not keep
    // the process from ending.
    static constexpr std::int32_t TerminationTimeoutMs = 5000;

    // `processName` selects the socket rows and the control port.
    COrvantaControl(const char* processName, LogTrace* trace, std::uint8_t debugMask, ProcessServices services);
    // Stops its threads and its control port. The loggers are left running:
    // the process ends right after.
    ~COrvantaControl() override;

    // Reads the socket rows, opens the control port (or ends the process),
    // starts the I/O thread and posts the start signal to itself.
    void InitJob() override;

    // Traces and reports (message 1437) an episode of control sentences dropped
    // at a full queue, its own or a logger's it relays to.
    void OnInputDropped(std::uint64_t droppedSoFar) override;

private:
    static const StateEntry* StateTable();

    void JobReadDB(CTRXSignal** signal);
    void JobBeginSuperv(CTRXSignal** signal);
    void JobReadDBError(CTRXSignal** signal);
    void JobRelayToQHVLogger(CTRXSignal** signal);
    void JobRelayToParamLogger(CTRXSignal** signal);
    void JobInitTerm(CTRXSignal** signal);
    void JobHandlerTermResp(CTRXSignal** signal);
    void JobTerminate(CTRXSignal** signal);
    void JobDisregardSig(CTRXSignal** signal);
    void JobWatchdog(CTRXSignal** signal);

    // The name of the logger process `pid` from the database; empty when it has none.
    std::string LoggerName(int pid, const char* which);
    // Hands the signal (payload included) to the logger, or drops it when there is none.
    void Relay(CFsmBase* logger, CTRXSignal** signal);
    void LogReceiverText(const std::string& text) const;
    // The control port's receive handler (I/O thread): a control sentence
    // becomes a signal; one whose number is one of the machines' own signals
    // is dropped, with a trace line at most once a second.
    void OnControlDatagram(const char* bytes, std::size_t length);
    // Reads the sender allow-lists and reports entries that cannot be read.
    void ReadAllowLists();
    // Tells the service manager that the supervisor is ready and, when it asks
    // for a watchdog, starts WATCHDOG_TICK. Without a service manager (no
    // NOTIFY_SOCKET) nothing is sent and no timer runs.
    void AnnounceReadiness();
    // After an abnormal end of the last run, switches `logger` on again with the
    // settings it had then (sentence 170 or 173), and says so to the trace, the
    // process log and the operator. `row` names the logger's parameter row.
    void ResumeLogging(CFsmBase* logger, const char* row, const char* which);

    const std::string m_processName;
    ProcessServices m_services;
    std::vector<std::unique_ptr<SocketData>> m_sockets;
    std::unique_ptr<CQHVControl> m_heaveLogger;
    std::unique_ptr<CP2XLogger> m_p2xLogger;
    IoThread m_io;  // outlives the control receiver: declared first, destroyed last
    platform::PortClaim m_controlPortClaim;  // keeps other QHVLogger processes off the control port
    std::unique_ptr<UdpReceiver> m_controlReceiver;
    std::int32_t m_watchdogIntervalMs = 0;  // between two signs of life; 0: no watchdog
    platform::ReportThrottle m_reservedSentences;
};
