#include "QHVLogger/OrvantaControl.h"

#include "QHVLogger/LoggingResume.h"
#include "QHVLogger/ProcessWide.h"
#include "db/DBoperations.h"
#include "db/Messages.h"
#include "net/ControlSentence.h"
#include "net/SocketTable.h"
#include "net/SourceAllowList.h"
#include "platform/Time.h"

#include <log4cplus/loggingmacros.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <utility>

namespace {

constexpr int HeaveLoggerPid = 99;
constexpr int P2XLoggerPid = 106;
constexpr int MSG_NO_SOCKETS = 1436;
constexpr int MSG_INPUT_DROPPED = 1437;
constexpr int MSG_LOGGING_RESUMED = 1438;
// The end waits this long after its threads stopped before the I/O thread goes.
constexpr std::int64_t FinishSettleMs = 1000;

// A new signal from `sender` carrying a copy of `sentence`.
CTRXSignal* SentenceSignal(std::int32_t number, CFsmBase* sender, const std::string& sentence)
{
    const auto length = static_cast<std::int32_t>(sentence.size());
    return new CTRXSignal(number, sender, CopyPayload(sentence.data(), length), length);
}

// Milliseconds between two signs of life for the service manager's watchdog, or
// 0 when it asks for none (no WATCHDOG_USEC, or one meant for another process).
// Half its time-out, less one timer step: a timer fires up to a step late.
std::int32_t WatchdogIntervalMs()
{
    std::uint64_t timeoutUs = 0;
    if (sd_watchdog_enabled(0, &timeoutUs) <= 0 || timeoutUs == 0) {
        return 0;
    }
    const auto halfMs = static_cast<std::int64_t>(timeoutUs / 2000);
    const std::int64_t interval = halfMs - CFsmTimer<COrvantaControl, CTRXSignal>::TickMs;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(interval, 1, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

const COrvantaControl::StateEntry* COrvantaControl::StateTable()
{
    using C = COrvantaControl;
    // clang-format off
    // IDLE
    static constexpr JobRow idle[] = {
        { 2,                  IDLE,             &C::JobDisregardSig       },
        { ZELIX_6,            DBINIT,           &C::JobReadDB             },
        { ZELIX_24,           IDLE,             &C::JobTerminate          },
    };
    // DBINIT
    static constexpr JobRow dbInit[] = {
        { 7,                  DBINIT,           &C::JobDisregardSig       },
        { DB_READ_COMPL,      SUPERVISE,        &C::JobBeginSuperv        },
        { DB_READ_ERROR,      DBERROR,          &C::JobReadDBError        },
        { ZELIX_170,          DBINIT,           &C::Save                  },
        { ZELIX_171,          DBINIT,           &C::Save                  },
        { ZELIX_173,          DBINIT,           &C::Save                  },
        { ZELIX_174,          DBINIT,           &C::Save                  },
        { ZELIX_24,           IDLE,             &C::JobTerminate          },
    };
    // SUPERVISE
    static constexpr JobRow supervise[] = {
        { 6,                  SUPERVISE,        &C::JobDisregardSig       },
        { ZELIX_170,          SUPERVISE,        &C::JobRelayToQHVLogger   },
        { ZELIX_171,          SUPERVISE,        &C::JobRelayToQHVLogger   },
        { ZELIX_173,          SUPERVISE,        &C::JobRelayToParamLogger },
        { ZELIX_174,          SUPERVISE,        &C::JobRelayToParamLogger },
        { ZELIX_24,           STATE_TERMINATE,  &C::JobInitTerm           },
        { WATCHDOG_TICK,      SUPERVISE,        &C::JobWatchdog           },
    };
    // STATE_TERMINATE
    static constexpr JobRow terminate[] = {
        { 5,                  STATE_TERMINATE,  &C::JobDisregardSig       },
        { TERMINATED,         STATE_TERMINATE,  &C::JobHandlerTermResp    },
        { FINISH_TERM,        STATE_TERMINATE,  &C::JobTerminate          },
        { TERM_EXPIRED,       STATE_TERMINATE,  &C::JobTerminate          },
        { ZELIX_24,           STATE_TERMINATE,  &C::JobDisregardSig       },
        { WATCHDOG_TICK,      STATE_TERMINATE,  &C::JobWatchdog           },
    };
    // DBERROR
    static constexpr JobRow dbError[] = {
        { 1,                  DBERROR,          &C::JobDisregardSig       },
        { ZELIX_24,           IDLE,             &C::JobTerminate          },
    };
    // clang-format on
    static_assert(RowCountMatches(idle) && RowCountMatches(dbInit) && RowCountMatches(supervise) &&
                  RowCountMatches(terminate) && RowCountMatches(dbError));
    static constexpr StateEntry states[] = {
        { idle, "IDLE" },
        { dbInit, "DBINIT" },
        { supervise, "SUPERVISE" },
        { terminate, "STATE_TERMINATE" },
        { dbError, "DBERROR" },
    };
    return states;
}

COrvantaControl::COrvantaControl(const char* processName, LogTrace* trace, std::uint8_t debugMask,
                                 ProcessServices services)
    : CApplFsm(processName, StateTable(), IDLE, trace, debugMask),
      m_processName(processName != nullptr ? processName : ""),
      m_services(services)
{
}

COrvantaControl::~COrvantaControl()
{
    Stop();
    if (m_controlReceiver) {
        m_controlReceiver->closeReceiver();
    }
    // The loggers keep running until the process ends; it ends right after this.
    static_cast<void>(m_heaveLogger.release());
    static_cast<void>(m_p2xLogger.release());
    platform::SleepMs(FinishSettleMs);
    m_sockets.clear();
    m_io.stop();
    TraceData("\n\tOrvantaControl terminates.\n");
    LOG4CPLUS_DEBUG(ProcessLogger(), LOG4CPLUS_TEXT("OrvantaControl terminates.\n"));
}

void COrvantaControl::LogReceiverText(const std::string& text) const
{
    TraceData("%s", text.c_str());
    LOG4CPLUS_DEBUG(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
}

void COrvantaControl::InitJob()
{
    TraceJob("InitJob");
    SocketRecord* records = nullptr;
    int count = 0;
    if (m_services.database.getSockets(m_processName.c_str(), &records, &count) != 0) {
        TraceData("\n\tERROR: Not able to read sockets from TRXDB.");
        m_services.messages.sendMessageNoText(MSG_NO_SOCKETS);
    } else {
        for (int i = 0; i < count; ++i) {
            m_sockets.push_back(SetSocketData(records[i], this));
        }
    }
    std::free(records);

    ReadAllowLists();
    m_controlReceiver = std::make_unique<UdpReceiver>(m_io.context());
    m_controlReceiver->setLogHandler([this](const std::string& text) { LogReceiverText(text); });
    m_controlReceiver->setSourceFilter(ControlAllowList());
    m_controlPortClaim = OpenControlPortOrEnd(*m_controlReceiver, portForSocketName(m_processName), m_trace);
    m_controlReceiver->setReceiveHandler(
        [this](const char* bytes, std::size_t length) { OnControlDatagram(bytes, length); });
    m_io.start([this] {
        TraceData("\n\tWarn: Thread for IO context for server connections terminated");
        LOG4CPLUS_DEBUG(ProcessLogger(), LOG4CPLUS_TEXT("Thread for IO context for server connections terminated"));
    },
               ThreadName("io"));
    PutInternal(new CTRXSignal(ZELIX_6, this, nullptr, 0));
}

void COrvantaControl::ReadAllowLists()
{
    for (const SourceAllowList* list : { ControlAllowList().get(), SensorAllowList().get() }) {
        for (const std::string& fault : list->Faults()) {
            LogReceiverText("Warn: " + list->Variable() + ": '" + fault +
                            "' is no IPv4 address or prefix; it allows no sender");
        }
        if (!list->AllowsAny()) {
            LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING("Senders limited by " + list->Variable()));
        }
    }
}

void COrvantaControl::OnControlDatagram(const char* bytes, std::size_t length)
{
    if (PutControlSignal(bytes, length, this)) {
        return;
    }
    const std::optional<std::int32_t> number = ControlSignalNumber(bytes, length);
    if (!number || IsReceivableControlSignal(*number)) {
        return;  // no number at all: dropped as designed, without a word
    }
    if (const std::uint64_t dropped = m_reservedSentences.Count()) {
        TraceData("\n\tWarn: Control sentence %lld dropped: its number is one of the machines' own signals "
                  "(%llu dropped since the last report).",
                  static_cast<long long>(*number) - ControlSignalBase, static_cast<unsigned long long>(dropped));
    }
}

void COrvantaControl::JobReadDB(CTRXSignal** signal)
{
    TraceJob("JobReadDB");
    (*signal)->ReleasePayload();
    PutInternal(new CTRXSignal(DB_READ_COMPL, this, nullptr, 0));
}

std::string COrvantaControl::LoggerName(int pid, const char* which)
{
    char* name = m_services.database.getProcessName(pid);
    if (name == nullptr || *name == '\0') {
        std::free(name);
        TraceData("\n\tERROR: No process name for pid %d in TRXDB; the %s logger is not started.", pid, which);
        return std::string();
    }
    std::string copy(name);
    std::free(name);
    return copy;
}

void COrvantaControl::JobBeginSuperv(CTRXSignal** signal)
{
    TraceJob("JobBeginSuperv");
    const std::string heaveName = LoggerName(HeaveLoggerPid, "heave");
    if (!heaveName.empty()) {
        m_heaveLogger = std::make_unique<CQHVControl>(heaveName.c_str(), m_trace, m_debugMask, m_services.tokens);
        m_heaveLogger->Start(0);
        WatchQueueOf(*m_heaveLogger);  // relays are never dropped: hold back the network instead
    }
    const std::string p2xName = LoggerName(P2XLoggerPid, "P2X");
    if (!p2xName.empty()) {
        m_p2xLogger = std::make_unique<CP2XLogger>(p2xName.c_str(), m_trace, m_debugMask, m_services.tokens);
        m_p2xLogger->Start(0);
        WatchQueueOf(*m_p2xLogger);
    }

    const std::string start = StartSentence();
    if (m_heaveLogger) {
        CTRXSignal* copy = SentenceSignal(ZELIX_6, this, start);
        m_heaveLogger->PutExternal(&copy, true);
    }
    if (m_p2xLogger) {
        CTRXSignal* original = SentenceSignal(ZELIX_6, this, start);
        m_p2xLogger->PutExternal(&original, true);
    }
    ResumeLogging(m_heaveLogger.get(), "QHVLOGGER", "heave");
    ResumeLogging(m_p2xLogger.get(), "P2XLOGGER", "P2X");
    (*signal)->ReleasePayload();
    // The loggers run and the control port is open; the table moves on to SUPERVISE.
    AnnounceReadiness();
}

void COrvantaControl::ResumeLogging(CFsmBase* logger, const char* row, const char* which)
{
    const std::optional<LoggerSettings> settings = LoggingResume().ToResume(row);
    if (logger == nullptr || !settings) {
        return;
    }
    const bool heave = std::string(row) == "QHVLOGGER";
    const std::string interval = std::to_string(settings->interval);
    const std::string sentence =
        heave ? HeaveStartSentence(settings->directory, settings->fileTemplate, interval, settings->sourcePort)
              : P2XStartSentence(settings->directory, settings->fileTemplate, interval, settings->sourcePort);
    const std::string where = settings->directory + "\\" + settings->fileTemplate;
    TraceData("\n\tResuming %s logging after an abnormal end of the process: %s", which, sentence.c_str());
    LOG4CPLUS_INFO(ProcessLogger(),
                   LOG4CPLUS_STRING_TO_TSTRING(std::string(which) + " logging resumed after an abnormal end: " + where));
    m_services.messages.sendMessage(MSG_LOGGING_RESUMED, which, where.c_str());
    CTRXSignal* command = SentenceSignal(heave ? ZELIX_170 : ZELIX_173, this, sentence);
    logger->PutExternal(&command, true);  // the logger owns it now
}

void COrvantaControl::AnnounceReadiness()
{
    if (sd_notify(0, "READY=1") <= 0) {
        return;  // no service manager listens
    }
    m_watchdogIntervalMs = WatchdogIntervalMs();
    if (m_watchdogIntervalMs > 0) {
        sd_notify(0, "WATCHDOG=1");
        StartTimer(WATCHDOG_TICK, m_watchdogIntervalMs);
    }
}

// The sign of life comes from this input thread and the timer thread, and it
// is given only while each logger answers the heartbeat asked of it in the
// round before from its own input thread. So a supervisor that hangs in a job
// or whose timers stop, and a logger stuck in a job (a write to a network
// folder that stopped answering, a database call) or behind a queue that no
// longer drains, are restarted by the service manager once the watchdog
// time-out has passed.
void COrvantaControl::JobWatchdog(CTRXSignal** signal)
{
    TraceJob("JobWatchdog");
    // Only the watchdog's own timer re-arms it; any other signal of this
    // number, and a watchdog without an interval, would start a second loop.
    const bool ownTimer = (*signal)->Origin() == 1;
    (*signal)->ReleasePayload();
    if (!ownTimer || m_watchdogIntervalMs <= 0) {
        return;
    }
    bool alive = true;
    for (const auto& [logger, which] : { std::pair<CFsmBase*, const char*> { m_heaveLogger.get(), "heave" },
                                         std::pair<CFsmBase*, const char*> { m_p2xLogger.get(), "P2X" } }) {
        if (logger != nullptr && !logger->TakeHeartbeatAnswer()) {
            alive = false;
            const std::string text = std::string("The ") + which + " logger has not answered for " +
                                     std::to_string(m_watchdogIntervalMs) +
                                     " ms; no sign of life to the service manager";
            TraceData("\n\tWarn: %s.", text.c_str());
            LOG4CPLUS_WARN(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
        }
    }
    if (alive) {
        sd_notify(0, "WATCHDOG=1");
    }
    for (CFsmBase* logger : { static_cast<CFsmBase*>(m_heaveLogger.get()), static_cast<CFsmBase*>(m_p2xLogger.get()) }) {
        if (logger != nullptr) {
            logger->AskHeartbeat();
        }
    }
    StartTimer(WATCHDOG_TICK, m_watchdogIntervalMs);
}

void COrvantaControl::JobReadDBError(CTRXSignal** signal)
{
    TraceJob("JobReadDBError");
    (*signal)->ReleasePayload();
}

void COrvantaControl::Relay(CFsmBase* logger, CTRXSignal** signal)
{
    if (logger != nullptr) {
        logger->PutExternal(signal, true);  // the logger owns it now
    } else {
        (*signal)->ReleasePayload();
    }
}

void COrvantaControl::JobRelayToQHVLogger(CTRXSignal** signal)
{
    TraceJob("JobRelayToQHVLogger");
    Relay(m_heaveLogger.get(), signal);
}

void COrvantaControl::JobRelayToParamLogger(CTRXSignal** signal)
{
    TraceJob("JobRelayToParamLogger");
    Relay(m_p2xLogger.get(), signal);
}

void COrvantaControl::JobInitTerm(CTRXSignal** signal)
{
    TraceJob("JobInitTerm");
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_TEXT("Terminating..."));
    sd_notify(0, "STOPPING=1");
    (*signal)->ReleasePayload();

    const std::string terminate = TerminateSentence();
    if (m_heaveLogger) {
        CTRXSignal* copy = SentenceSignal(ZELIX_24, this, terminate);
        m_heaveLogger->PutExternal(&copy, true);
    }
    if (m_p2xLogger) {
        CTRXSignal* original = SentenceSignal(ZELIX_24, this, terminate);
        m_p2xLogger->PutExternal(&original, true);
    }
    if (!m_heaveLogger && !m_p2xLogger) {
        PutInternal(new CTRXSignal(FINISH_TERM, this, nullptr, 0));
    }
    // A logger that hangs must not keep the process from ending.
    StartTimer(TERM_EXPIRED, TerminationTimeoutMs);
}

void COrvantaControl::JobHandlerTermResp(CTRXSignal** signal)
{
    TraceJob("JobHandlerTermResp");
    const CFsmBase* sender = (*signal)->Sender();
    if (sender != nullptr && sender == m_heaveLogger.get()) {
        m_heaveLogger.reset();
    } else if (sender != nullptr && sender == m_p2xLogger.get()) {
        m_p2xLogger.reset();
    }
    if (!m_heaveLogger && !m_p2xLogger) {
        PutInternal(new CTRXSignal(FINISH_TERM, this, nullptr, 0));
        StopTimer(TERM_EXPIRED);
    }
    (*signal)->ReleasePayload();
}

void COrvantaControl::JobTerminate(CTRXSignal** signal)
{
    TraceJob("JobTerminate");
    DeleteSignal(*signal);
    StopTimer(TERM_EXPIRED);
    g_terminationSemaphore.release();
}

void COrvantaControl::OnInputDropped(std::uint64_t droppedSoFar)
{
    TraceData("\n\tWarning: Control queue full; control sentences dropped (%llu so far).",
              static_cast<unsigned long long>(droppedSoFar));
    m_services.messages.sendMessageNoText(MSG_INPUT_DROPPED);
}

void COrvantaControl::JobDisregardSig(CTRXSignal** signal)
{
    TraceJob("JobDisregardSig");
    (*signal)->ReleasePayload();
}
