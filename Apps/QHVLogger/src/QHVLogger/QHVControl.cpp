#include "QHVLogger/QHVControl.h"

#include "formats/HeaveDatagram.h"
#include "tokens/GetToken.h"

namespace {

const LoggerProfile Profile {
    "QHVLogger",                    // database name
    "QHVLOGGER",                    // parameter row
    ".qhv",                         // extension
    HeaveSettingTokens,
    "RUNT_PARAM_QHV_MAX_WAIT_TIME",
    20,                             // default maximum wait, seconds
    31102,                          // default source port
    172,                            // status sentence
    log4cplus::INFO_LOG_LEVEL,      // receiver texts in the process log
    false,                          // a new port gets a new receiver
    "\n\tERROR: Not able to open stream for output to .qhv log file.",
    1411,
    "\n\tERROR: Not able to read QHV process parameters from TRXDB.",
    1413,
    "\n\tERROR: Not able to open .qhv log file: %s",
    1410,
    "\n\tERROR: No QHV data is received.\n\tCheck the QHV port number and turn QHV logging off and on.",
    1414,
    "\n\tWarning: Input queue full; heave data dropped (%llu datagrams so far).",
    1416,
    &HeaveStatistics,
    "Heave",                        // in the process log
};

constexpr char FreqIntervalToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_INTERVAL_LENGTH";
constexpr char FreqExpectedToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_EXPECTED";
constexpr char FreqLimitToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_LIMIT";
constexpr char FreqPauseToken[] = "RUNT_PARAM_QHV_INPUT_FREQ_PAUSE_LENGTH";
constexpr int MSG_LOW_FREQUENCY = 1415;
constexpr std::int32_t TwentySixDropLimit = 100;

// The time of a heave datagram of at least 6 bytes.
std::int32_t DatagramEpoch(const CTRXSignal& datagram)
{
    const std::string_view bytes(datagram.Payload(), static_cast<std::size_t>(datagram.Length()));
    return static_cast<std::int32_t>(formats::HeaveEpoch(bytes).value_or(0));
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
    // clang-format on
    static_assert(RowCountMatches(waitLogging) && RowCountMatches(prepLogging) && RowCountMatches(activeLogging));
    static constexpr auto states = StateTableWith<ZELIX_170, ZELIX_171>(waitLogging, prepLogging, activeLogging);
    return states.data();
}

CQHVControl::CQHVControl(const char* name, LogTrace* trace, std::uint8_t debugMask, CGetToken& tokens)
    : CLoggerFsm(name, StateTable(), trace, debugMask, tokens, Profile, true)
{
}

void CQHVControl::OnInputDropped(std::uint64_t droppedSoFar)
{
    m_core.ReportInputDropped(droppedSoFar);
}

CQHVControl::~CQHVControl()
{
    m_core.CloseDataPort();
    StopFileTimers();
    m_core.dataReceived = false;
    DeleteEventCounter();
    Stop();
    m_core.Finish("\n\tQHV terminates.\n");
}

void CQHVControl::ReconfigureEventCounter()
{
    const std::int32_t intervalLength = m_core.Tokens().getTokValueInt(FreqIntervalToken);
    const std::int32_t expectedRate = m_core.Tokens().getTokValueInt(FreqExpectedToken);
    if (intervalLength <= 0 || expectedRate <= 0) {
        DeleteEventCounter();
        return;
    }
    if (!m_eventCounter) {
        m_eventCounter = std::make_unique<CEventCounter<CQHVControl>>(*this);
    }
    const std::int32_t limit = m_core.Tokens().getTokValueInt(FreqLimitToken);
    const std::int32_t pauseLength = m_core.Tokens().getTokValueInt(FreqPauseToken);
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
    StartTimer(NEW_FILE_TIMEOUT, m_core.FileIntervalMs());
    StartTimer(WAIT_DATA_TIMEOUT, m_core.MaxWaitMs());
}

void CQHVControl::StopFileTimers()
{
    StopTimer(NEW_FILE_TIMEOUT);
    StopTimer(WAIT_DATA_TIMEOUT);
}

void CQHVControl::JobWaitLogging(CTRXSignal** signal)
{
    TraceAndRelease("JobWaitLogging", signal);
}

void CQHVControl::JobPrepLogging(CTRXSignal** signal)
{
    TraceJob("JobPrepLogging");
    StopFileTimers();
    m_core.dataReceived = false;
    DeleteEventCounter();
    ReconfigureEventCounter();
    m_core.TakeCommandSettings(**signal, true);
    (*signal)->ReleasePayload();
    StartFileTimers();
}

void CQHVControl::JobStartLogging(CTRXSignal** signal)
{
    TraceJob("JobStartLogging");
    const CTRXSignal& datagram = **signal;
    m_core.dataReceived = true;
    if (m_eventCounter) {
        m_eventCounter->CountEvent();
    }
    // The epoch lies in bytes 2 to 5; a shorter payload counts as none.
    bool opened = false;
    if (datagram.Payload() != nullptr && datagram.Length() >= 6) {
        if (IsTwentySix(datagram)) {
            m_twentySixMode = true;
        }
        opened = m_core.OpenNewFile(DatagramEpoch(datagram));
        if (opened) {
            m_core.LogFile().WriteDatagramRecord(datagram);
            m_core.SendStatus(true);
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
    m_core.dataReceived = true;
    if (IsTwentySix(datagram)) {
        m_twentySixMode = true;
        m_twentySixDrops = 0;
    } else if (m_twentySixMode) {
        // While 52-byte datagrams arrive, the 13-byte ones carry nothing new.
        m_core.Statistics().Dropped(DropReason::TwentySix);
        if (++m_twentySixDrops >= TwentySixDropLimit) {
            m_twentySixMode = false;
        }
        (*signal)->ReleasePayload();
        CommitUnlessDatagramWaits();
        return;
    }
    if (m_eventCounter) {
        m_eventCounter->CountEvent();
    }
    m_core.LogFile().GatherDatagramRecord(datagram);
    (*signal)->ReleasePayload();
    CommitUnlessDatagramWaits();
}

void CQHVControl::JobNewFile(CTRXSignal** signal)
{
    TraceJob("JobNewFile");
    StopFileTimers();
    m_core.dataReceived = false;
    ReconfigureEventCounter();
    m_core.LogFile().CloseLogFile();
    m_core.TakeCommandSettings(**signal, false);
    (*signal)->ReleasePayload();
    StartFileTimers();
}

void CQHVControl::JobTimedNewFile(CTRXSignal** signal)
{
    TraceJob("JobTimedNewFile");
    (*signal)->ReleasePayload();
    StopTimer(WAIT_DATA_TIMEOUT);
    m_core.dataReceived = false;
    ReconfigureEventCounter();
    m_core.LogFile().CloseLogFile();
    StartFileTimers();
}

void CQHVControl::JobTimedPrepLogging(CTRXSignal** signal)
{
    TraceAndRelease("JobTimedPrepLogging", signal);
    StartTimer(NEW_FILE_TIMEOUT, m_core.FileIntervalMs());
    ReconfigureEventCounter();
}

void CQHVControl::JobCheckInput(CTRXSignal** signal)
{
    TraceJob("JobCheckInput");
    (*signal)->ReleasePayload();
    if (m_core.dataReceived) {
        m_core.SendStatus(true);
    } else {
        m_core.ReportNoData();
    }
    m_core.dataReceived = false;
    m_core.SendStatus(true);
    StartTimer(WAIT_DATA_TIMEOUT, m_core.MaxWaitMs());
}

void CQHVControl::JobNoLogFile(CTRXSignal** signal)
{
    TraceJob("JobNoLogFile");
    (*signal)->ReleasePayload();
    StopTimer(NEW_FILE_TIMEOUT);
    m_core.dataReceived = false;
    m_core.ReportNoLogFile();
    StartTimer(NEW_FILE_TIMEOUT, m_core.FileIntervalMs());
}

void CQHVControl::JobStopPrep(CTRXSignal** signal)
{
    TraceJob("JobStopPrep");
    m_core.LoggingOff();
    (*signal)->ReleasePayload();
    StopFileTimers();
    m_core.dataReceived = false;
    DeleteEventCounter();
    m_core.SendStatus(false);
}

void CQHVControl::JobStopLogging(CTRXSignal** signal)
{
    TraceJob("JobStopLogging");
    m_core.LoggingOff();
    (*signal)->ReleasePayload();
    StopFileTimers();
    m_core.dataReceived = false;
    DeleteEventCounter();
    m_core.LogFile().CloseLogFile();
    m_core.SendStatus(false);
}

void CQHVControl::JobInputFreqReport(CTRXSignal** signal)
{
    TraceJob("JobInputFreqReport");
    if (const std::optional<FrequencyReport> report = ReadFrequencyReport(**signal)) {
        TraceData("\n\tWarning: Frequency of received QHV (POS MV) datagrams is less than %d%% of "
                  "expected.\nExpected/received (Hz): %.2f/%.2f',122);",
                  report->limit, report->expectedRate, report->receivedRate);
        m_core.Messages().sendMessage(MSG_LOW_FREQUENCY, report->limit, report->expectedRate, report->receivedRate);
    }
    (*signal)->ReleasePayload();
}

