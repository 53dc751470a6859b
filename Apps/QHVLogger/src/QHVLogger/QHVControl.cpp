#include "QHVLogger/QHVControl.h"

#include "LogTrace/LogTrace.h"
#include "QHVLogger/QHV.h"
#include "platform/Time.h"
#include "tokens/GetToken.h"

#include <log4cplus/loglevel.h>

#include <cstdlib>
#include <new>
#include <string_view>

namespace {

constexpr char UserProfile[] = "QV user";
constexpr char ProcessName[] = "QHVLOGGER";
constexpr char DatabaseName[] = "QHVLogger";

constexpr LoggerTokenNames SettingTokens {
    "RUNT_PARAM_QHV_DIR",
    "RUNT_PARAM_QHV_FILE",
    "RUNT_PARAM_QHV_INTERVAL_TIME",
    "RUNT_PARAM_QHV_LOG_SOURCE_PORT",
};
constexpr char MaxWaitToken[] = "RUNT_PARAM_QHV_MAX_WAIT_TIME";
constexpr char FreqIntervalToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_INTERVAL_LENGTH";
constexpr char FreqExpectedToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_EXPECTED";
constexpr char FreqLimitToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_LIMIT";
constexpr char FreqPauseToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_PAUSE_LENGTH";

// Defaults for settings whose token reads as 0.
constexpr std::int32_t DefaultSourcePort = 31102;
constexpr std::int32_t DefaultFileInterval = 30;  // minutes
constexpr std::int32_t DefaultMaxWait = 20;       // seconds

constexpr int StatusSentenceNumber = 172;
constexpr std::int32_t TwentySixDropLimit = 100;
constexpr std::int32_t NoLogFileReportEvery = 1000;
constexpr std::int64_t DestructorSettleMs = 1000;

enum MessageNumber : int {
    MSG_NO_LOGFILE = 1410,
    MSG_NO_STREAM = 1411,
    MSG_NO_PARAMETERS = 1413,
    MSG_NO_DATA = 1414,
    MSG_LOW_FREQUENCY = 1415,
};

bool HasPayload(const CTRXSignal& signal)
{
    return signal.Payload() != nullptr && signal.Length() > 0;
}

std::string_view PayloadText(const CTRXSignal& signal)
{
    return std::string_view(signal.Payload(), static_cast<std::size_t>(signal.Length()));
}

// The big-endian 32-bit time at bytes 2 to 5 of a heave datagram.
std::int32_t DatagramEpoch(const CTRXSignal& datagram)
{
    const auto* b = reinterpret_cast<const unsigned char*>(datagram.Payload());
    const std::uint32_t value = (std::uint32_t { b[2] } << 24) | (std::uint32_t { b[3] } << 16) |
                                (std::uint32_t { b[4] } << 8) | std::uint32_t { b[5] };
    return static_cast<std::int32_t>(value);
}

bool IsTwentySix(const CTRXSignal& datagram)
{
    return datagram.Payload() != nullptr && datagram.Length() > 1 && datagram.Payload()[1] == 'S';
}

}  // namespace

const CQHVControl::StateEntry* CQHVControl::StateTable()
{
    using C = CQHVControl;
    // clang-format off
    // IDLE
    static constexpr JobRow idle[] = {
        { 2,                  IDLE,           &C::JobDisregardSig     },
        { ZELIX_6,            DBINIT,         &C::JobReadDB           },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // DBINIT
    static constexpr JobRow dbInit[] = {
        { 5,                  DBINIT,         &C::JobDisregardSig     },
        { DB_READ_COMPL,      WAIT_LOGGING,   &C::JobWaitLogging      },
        { DB_READ_ERROR,      DBERROR,        &C::JobReadDBError      },
        { ZELIX_170,          DBINIT,         &C::Save                },
        { ZELIX_171,          DBINIT,         &C::Save                },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // WAIT_LOGGING
    static constexpr JobRow waitLogging[] = {
        { 4,                  WAIT_LOGGING,   &C::JobDisregardSig     },
        { ZELIX_170,          PREP_LOGGING,   &C::JobPrepLogging      },
        { ZELIX_171,          WAIT_LOGGING,   &C::JobDisregardSig     },
        { INPUT_FREQ_REPORT,  WAIT_LOGGING,   &C::JobInputFreqReport  },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // PREP_LOGGING
    static constexpr JobRow prepLogging[] = {
        { 8,                  PREP_LOGGING,   &C::JobDisregardSig     },
        { ORVANTA_QHV,        ACTIVE_LOGGING, &C::JobStartLogging     },
        { ORVANTA_QHV26,      ACTIVE_LOGGING, &C::JobStartLogging     },
        { ZELIX_171,          WAIT_LOGGING,   &C::JobStopPrep         },
        { ZELIX_170,          PREP_LOGGING,   &C::JobPrepLogging      },
        { WAIT_DATA_TIMEOUT,  PREP_LOGGING,   &C::JobCheckInput       },
        { NEW_FILE_TIMEOUT,   PREP_LOGGING,   &C::JobTimedPrepLogging },
        { INPUT_FREQ_REPORT,  PREP_LOGGING,   &C::JobInputFreqReport  },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // ACTIVE_LOGGING
    static constexpr JobRow activeLogging[] = {
        { 9,                  ACTIVE_LOGGING, &C::JobDisregardSig     },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
        { ORVANTA_QHV,        ACTIVE_LOGGING, &C::JobLog              },
        { ORVANTA_QHV26,      ACTIVE_LOGGING, &C::JobLog              },
        { ZELIX_170,          PREP_LOGGING,   &C::JobNewFile          },
        { NEW_FILE_TIMEOUT,   PREP_LOGGING,   &C::JobTimedNewFile     },
        { WAIT_DATA_TIMEOUT,  ACTIVE_LOGGING, &C::JobCheckInput       },
        { ERROR_NO_LOGFILE,   PREP_LOGGING,   &C::JobNoLogFile        },
        { ZELIX_171,          WAIT_LOGGING,   &C::JobStopLogging      },
        { INPUT_FREQ_REPORT,  ACTIVE_LOGGING, &C::JobInputFreqReport  },
    };
    // DBERROR
    static constexpr JobRow dbError[] = {
        { 1,                  DBERROR,        &C::JobDisregardSig     },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // clang-format on
    static_assert(RowCountMatches(idle) && RowCountMatches(dbInit) && RowCountMatches(waitLogging) &&
                  RowCountMatches(prepLogging) && RowCountMatches(activeLogging) && RowCountMatches(dbError));
    static constexpr StateEntry states[] = {
        { idle, "IDLE" },
        { dbInit, "DBINIT" },
        { waitLogging, "WAIT_LOGGING" },
        { prepLogging, "PREP_LOGGING" },
        { activeLogging, "ACTIVE_LOGGING" },
        { dbError, "DBERROR" },
    };
    return states;
}

CQHVControl::CQHVControl(const char* name, LogTrace* trace, std::uint8_t debugMask, CGetToken& tokens)
    : CApplFsm(name, StateTable(), IDLE, trace, debugMask),
      m_tokens(tokens),
      m_database(std::make_unique<CDBoperations>("Unknown")),
      m_messages(std::make_unique<CMessages>()),
      m_dataPort(*this, log4cplus::INFO_LOG_LEVEL,
                 [this](const char* bytes, std::size_t length) { OnDatagram(bytes, length); })
{
    m_messages->setDatabase(m_database.get());
    m_database->connect(SystemDataSource, SystemDatabaseUser, SystemDatabasePassword, DatabaseName);
    m_messages->loadMessageTypes();
    int version = 0;
    char* versionName = nullptr;
    m_database->getVersion(&version, &versionName);
    if (m_trace != nullptr) {
        m_trace->Append("DATABASE INFO: ver. %i, proc. %s\n", version, versionName != nullptr ? versionName : "");
    }
    delete[] versionName;

    m_logFile.reset(new (std::nothrow) CDatagramLogFile(*this, ".qhv"));
    if (!m_logFile) {
        TraceData("\n\tERROR: Not able to open stream for output to .qhv log file.");
        m_messages->sendMessageNoText(MSG_NO_STREAM);
        ShutdownLogAndEndProcess(-1);
    }

    m_maxWait = m_tokens.getTokValueInt(MaxWaitToken);
    if (m_maxWait == 0) {
        m_maxWait = DefaultMaxWait;
    }
}

CQHVControl::~CQHVControl()
{
    m_dataPort.Close();
    StopFileTimers();
    m_dataReceived = false;
    DeleteEventCounter();
    Stop();
    if (m_logFile && m_logFile->IsOpen()) {
        m_logFile->CloseLogFile();
    }
    m_logFile.reset();
    platform::SleepMs(DestructorSettleMs);
    m_dataPort.StopThread();
    TraceData("\n\tQHV terminates.\n");
}

void CQHVControl::InitJob()
{
    TraceJob("InitJob");
    m_sourcePort = m_tokens.getTokValueInt(SettingTokens.sourcePort);
    if (m_sourcePort == 0) {
        m_sourcePort = DefaultSourcePort;
    }
    createDataSocket();
    m_dataPort.StartThread();
}

void CQHVControl::createDataSocket()
{
    const std::optional<std::uint16_t> port = BindablePort(m_sourcePort);
    if (!port) {
        TraceData("\n\tERROR: QHV source port %d cannot be bound; no QHV data port.", m_sourcePort);
        return;
    }
    m_dataPort.Open(*port);
}

void CQHVControl::UseSourcePort(std::int32_t port)
{
    if (!BindablePort(port)) {
        TraceData("\n\tWarning: QHV source port %d ignored; data port stays on %d.", port, m_dataPort.BoundPort());
        return;
    }
    const bool moved = port != m_sourcePort;
    m_sourcePort = port;
    if (moved || m_dataPort.BoundPort() != port) {
        createDataSocket();
    }
}

void CQHVControl::OnDatagram(const char* bytes, std::size_t length)
{
    const std::optional<std::int32_t> number = SensorSignalNumber(bytes, length);
    if (!number) {
        return;  // a $PQRV sentence without a readable type
    }
    const auto payloadLength = static_cast<std::int32_t>(length);
    CTRXSignal* signal = new CTRXSignal(*number, this, CopyPayload(bytes, payloadLength), payloadLength);
    PutExternal(&signal, true);  // the queue owns it now
}

void CQHVControl::ApplySettings(const LoggerSettings& settings)
{
    m_directory = settings.directory;
    m_fileTemplate = settings.fileTemplate;
    m_fileInterval = settings.interval;
}

void CQHVControl::ReconfigureEventCounter()
{
    const std::int32_t intervalLength = m_tokens.getTokValueInt(FreqIntervalToken);
    const std::int32_t expectedRate = m_tokens.getTokValueInt(FreqExpectedToken);
    if (intervalLength <= 0 || expectedRate <= 0) {
        DeleteEventCounter();
        return;
    }
    if (!m_eventCounter) {
        m_eventCounter = std::make_unique<CEventCounter<CQHVControl>>(*this);
    }
    const std::int32_t limit = m_tokens.getTokValueInt(FreqLimitToken);
    const std::int32_t pauseLength = m_tokens.getTokValueInt(FreqPauseToken);
    m_eventCounter->SetParameters(TimerDelayMs(intervalLength, 1000),
                                  TimerDelayMs(intervalLength, expectedRate),
                                  TimerDelayMs(pauseLength, 1000), limit);
}

void CQHVControl::DeleteEventCounter()
{
    m_eventCounter.reset();
}

void CQHVControl::StartFileTimers()
{
    StartTimer(NEW_FILE_TIMEOUT, TimerDelayMs(m_fileInterval, 60000));
    StartTimer(WAIT_DATA_TIMEOUT, TimerDelayMs(m_maxWait, 1000));
}

void CQHVControl::StopFileTimers()
{
    StopTimer(NEW_FILE_TIMEOUT);
    StopTimer(WAIT_DATA_TIMEOUT);
}

void CQHVControl::CountAndWrite(const CTRXSignal& datagram)
{
    if (m_eventCounter) {
        m_eventCounter->CountEvent();
    }
    m_logFile->WriteDatagramRecord(datagram);
}

void CQHVControl::SendStatus(bool on)
{
    SendLoggerStatus(StatusSentenceNumber, on);
}

void CQHVControl::JobReadDB(CTRXSignal** signal)
{
    TraceJob("JobReadDB");
    (*signal)->ReleasePayload();
    LoggerParameters parameters {};
    if (m_database->getLoggerParameters(UserProfile, ProcessName, &parameters) != 0) {
        TraceData("\n\tERROR: Not able to read QHV process parameters from TRXDB.");
        m_messages->sendMessageNoText(MSG_NO_PARAMETERS);
        PutInternal(new CTRXSignal(DB_READ_ERROR, this, nullptr, 0));
        return;
    }
    m_directory = parameters.dir_value;
    m_fileTemplate = parameters.file_value;
    m_fileInterval = static_cast<std::int32_t>(std::strtol(parameters.line_interval_value, nullptr, 10));
    m_sourcePort = m_tokens.getTokValueInt(SettingTokens.sourcePort);
    if (m_sourcePort == 0) {
        m_sourcePort = DefaultSourcePort;
    }
    PutInternal(new CTRXSignal(DB_READ_COMPL, this, nullptr, 0));
}

void CQHVControl::JobWaitLogging(CTRXSignal** signal)
{
    TraceJob("JobWaitLogging");
    (*signal)->ReleasePayload();
}

void CQHVControl::JobReadDBError(CTRXSignal** signal)
{
    TraceJob("JobReadDBError");
    (*signal)->ReleasePayload();
}

void CQHVControl::JobPrepLogging(CTRXSignal** signal)
{
    TraceJob("JobPrepLogging");
    StopFileTimers();
    m_dataReceived = false;
    DeleteEventCounter();
    ReconfigureEventCounter();
    if (HasPayload(**signal)) {
        const LoggerSettings settings = SettingsFromSentence(PayloadText(**signal), SettingTokens, m_tokens);
        ApplySettings(settings);
        UseSourcePort(settings.sourcePort);
    } else {
        LoggerSettings settings = SettingsFromTokens(SettingTokens, m_tokens);
        if (settings.interval == 0) {
            settings.interval = DefaultFileInterval;
        }
        if (settings.sourcePort == 0) {
            settings.sourcePort = DefaultSourcePort;
        }
        ApplySettings(settings);
        UseSourcePort(settings.sourcePort);
    }
    (*signal)->ReleasePayload();
    StartFileTimers();
}

void CQHVControl::JobStartLogging(CTRXSignal** signal)
{
    TraceJob("JobStartLogging");
    const CTRXSignal& datagram = **signal;
    m_dataReceived = true;
    if (m_eventCounter) {
        m_eventCounter->CountEvent();
    }
    // The epoch lies in bytes 2 to 5; a shorter payload counts as none.
    bool opened = false;
    if (datagram.Payload() != nullptr && datagram.Length() >= 6) {
        if (IsTwentySix(datagram)) {
            m_twentySixMode = true;
        }
        const std::string path = m_directory + "\\" + m_fileTemplate;
        m_logFile->SetPath(ExpandFileNameTokens(path, DatagramEpoch(datagram)));
        opened = m_logFile->OpenLogFile();
        if (opened) {
            m_logFile->WriteDatagramRecord(datagram);
            SendStatus(true);
            m_noLogFileCount = 0;
        }
    }
    (*signal)->ReleasePayload();
    if (!opened) {
        PutInternal(new CTRXSignal(ERROR_NO_LOGFILE, this, nullptr, 0));
    }
}

void CQHVControl::JobLog(CTRXSignal** signal)
{
    TraceJob("JobLog");
    const CTRXSignal& datagram = **signal;
    m_dataReceived = true;
    if (IsTwentySix(datagram)) {
        m_twentySixMode = true;
        m_twentySixDrops = 0;
    } else if (m_twentySixMode) {
        // While 52-byte datagrams arrive, the 13-byte ones carry nothing new.
        if (++m_twentySixDrops >= TwentySixDropLimit) {
            m_twentySixMode = false;
        }
        (*signal)->ReleasePayload();
        return;
    }
    CountAndWrite(datagram);
    (*signal)->ReleasePayload();
}

void CQHVControl::JobNewFile(CTRXSignal** signal)
{
    TraceJob("JobNewFile");
    StopFileTimers();
    m_dataReceived = false;
    ReconfigureEventCounter();
    m_logFile->CloseLogFile();
    if (HasPayload(**signal)) {
        const LoggerSettings settings = SettingsFromSentence(PayloadText(**signal), SettingTokens, m_tokens);
        ApplySettings(settings);
        UseSourcePort(settings.sourcePort);
    } else {
        ApplySettings(SettingsFromTokens(SettingTokens, m_tokens));  // the port stays
    }
    (*signal)->ReleasePayload();
    StartFileTimers();
}

void CQHVControl::JobTimedNewFile(CTRXSignal** signal)
{
    TraceJob("JobTimedNewFile");
    (*signal)->ReleasePayload();
    StopTimer(WAIT_DATA_TIMEOUT);
    m_dataReceived = false;
    ReconfigureEventCounter();
    m_logFile->CloseLogFile();
    StartFileTimers();
}

void CQHVControl::JobTimedPrepLogging(CTRXSignal** signal)
{
    TraceJob("JobTimedPrepLogging");
    (*signal)->ReleasePayload();
    StartTimer(NEW_FILE_TIMEOUT, TimerDelayMs(m_fileInterval, 60000));
    ReconfigureEventCounter();
}

void CQHVControl::JobCheckInput(CTRXSignal** signal)
{
    TraceJob("JobCheckInput");
    (*signal)->ReleasePayload();
    if (m_dataReceived) {
        SendStatus(true);
    } else {
        TraceData("\n\tERROR: No QHV data is received.\n\tCheck the QHV port number and turn QHV logging off and on.");
        m_messages->sendMessageNoText(MSG_NO_DATA);
    }
    m_dataReceived = false;
    SendStatus(true);
    StartTimer(WAIT_DATA_TIMEOUT, TimerDelayMs(m_maxWait, 1000));
}

void CQHVControl::JobNoLogFile(CTRXSignal** signal)
{
    TraceJob("JobNoLogFile");
    (*signal)->ReleasePayload();
    StopTimer(NEW_FILE_TIMEOUT);
    m_dataReceived = false;
    if (m_noLogFileCount % NoLogFileReportEvery == 0) {
        TraceData("\n\tERROR: Not able to open .qhv log file: %s", m_logFile->Path().c_str());
        m_messages->sendMessage(MSG_NO_LOGFILE, CollapseSeparators(m_logFile->Path()).c_str());
    }
    ++m_noLogFileCount;
    StartTimer(NEW_FILE_TIMEOUT, TimerDelayMs(m_fileInterval, 60000));
}

void CQHVControl::JobStopPrep(CTRXSignal** signal)
{
    TraceJob("JobStopPrep");
    (*signal)->ReleasePayload();
    StopFileTimers();
    m_dataReceived = false;
    DeleteEventCounter();
    SendStatus(false);
}

void CQHVControl::JobStopLogging(CTRXSignal** signal)
{
    TraceJob("JobStopLogging");
    (*signal)->ReleasePayload();
    StopFileTimers();
    m_dataReceived = false;
    DeleteEventCounter();
    m_logFile->CloseLogFile();
    SendStatus(false);
}

void CQHVControl::JobInputFreqReport(CTRXSignal** signal)
{
    TraceJob("JobInputFreqReport");
    if (const std::optional<FrequencyReport> report = ReadFrequencyReport(**signal)) {
        TraceData("\n\tWarning: Frequency of received QHV (POS MV) datagrams is less than %d%% of "
                  "expected.\nExpected/received (Hz): %.2f/%.2f',122);",
                  report->limit, report->expectedRate, report->receivedRate);
        m_messages->sendMessage(MSG_LOW_FREQUENCY, report->limit, report->expectedRate, report->receivedRate);
    }
    (*signal)->ReleasePayload();
}

void CQHVControl::JobTerminate(CTRXSignal** signal)
{
    TraceJob("JobTerminate");
    DeleteSignal(*signal);
    g_terminationSemaphore.release();
}

void CQHVControl::JobDisregardSig(CTRXSignal** signal)
{
    TraceJob("JobDisregardSig");
    (*signal)->ReleasePayload();
}
