#include "QHVLogger/P2XLogger.h"

#include "net/ControlSentence.h"
#include "platform/Time.h"

#include <string>

namespace {

const LoggerProfile Profile {
    "P2XLogger",                    // database name
    "P2XLOGGER",                    // parameter row
    ".p2x",                         // extension
    P2XSettingTokens,
    "RUNT_PARAM_P2X_MAX_WAIT_TIME",
    90,                             // default maximum wait, seconds
    31202,                          // default source port
    175,                            // status sentence
    log4cplus::DEBUG_LOG_LEVEL,     // receiver texts in the process log
    true,                           // a new port moves the receiver
    "\n\tERROR: Not able to open stream for output to .P2X log file.",
    1441,
    "\n\tERROR: Not able to read P2X process parameters from TRXDB.",
    1443,
    "\n\tERROR: Not able to open .P2X log file: %s",
    1440,
    "\n\tERROR: No P2X data is received.\n\tCheck the P2X port number and turn P2X logging off and on.",
    1444,
    "\n\tWarning: Input queue full; P2X data dropped (%llu datagrams so far).",
    1445,
    &P2XStatistics,
    "P2X",                          // in the process log
};

// The sentence text of a datagram: its bytes without the last one.
std::string_view SentenceText(const CTRXSignal& datagram)
{
    if (datagram.Payload() == nullptr || datagram.Length() < 1) {
        return {};
    }
    return std::string_view(datagram.Payload(), static_cast<std::size_t>(datagram.Length() - 1));
}

}  // namespace

const CP2XLogger::StateEntry* CP2XLogger::StateTable()
{
    using C = CP2XLogger;
    // clang-format off
    // WAIT_LOGGING
    static constexpr JobRow waitLogging[] = {
        { 3,                  WAIT_LOGGING,   &C::JobDisregardSig     },
        { ZELIX_173,          PREP_LOGGING,   &C::JobPrepLogging      },
        { ZELIX_174,          WAIT_LOGGING,   &C::JobDisregardSig     },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // PREP_LOGGING
    static constexpr JobRow prepLogging[] = {
        { 8,                  PREP_LOGGING,   &C::JobDisregardSig     },
        { ORVANTA_P25,        ACTIVE_LOGGING, &C::JobStartLogging     },
        { ORVANTA_P26,        ACTIVE_LOGGING, &C::JobStartLogging     },
        { ORVANTA_P27,        ACTIVE_LOGGING, &C::JobStartLogging     },
        { ZELIX_174,          WAIT_LOGGING,   &C::JobStopPrep         },
        { ZELIX_173,          PREP_LOGGING,   &C::JobPrepLogging      },
        { WAIT_DATA_TIMEOUT,  PREP_LOGGING,   &C::JobCheckInput       },
        { NEW_FILE_TIMEOUT,   PREP_LOGGING,   &C::JobTimedPrepLogging },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // ACTIVE_LOGGING
    static constexpr JobRow activeLogging[] = {
        { 9,                  ACTIVE_LOGGING, &C::JobDisregardSig     },
        { ORVANTA_P25,        ACTIVE_LOGGING, &C::JobLog              },
        { ORVANTA_P26,        ACTIVE_LOGGING, &C::JobLog              },
        { ORVANTA_P27,        ACTIVE_LOGGING, &C::JobLog              },
        { ZELIX_173,          PREP_LOGGING,   &C::JobNewFile          },
        { NEW_FILE_TIMEOUT,   PREP_LOGGING,   &C::JobTimedNewFile     },
        { WAIT_DATA_TIMEOUT,  ACTIVE_LOGGING, &C::JobCheckInput       },
        { ERROR_NO_LOGFILE,   PREP_LOGGING,   &C::JobNoLogFile        },
        { ZELIX_174,          WAIT_LOGGING,   &C::JobStopLogging      },
        { ZELIX_24,           IDLE,           &C::JobTerminate        },
    };
    // clang-format on
    static_assert(RowCountMatches(waitLogging) && RowCountMatches(prepLogging) && RowCountMatches(activeLogging));
    static constexpr auto states = StateTableWith<ZELIX_173, ZELIX_174>(waitLogging, prepLogging, activeLogging);
    return states.data();
}

CP2XLogger::CP2XLogger(const char* name, LogTrace* trace, std::uint8_t debugMask, CGetToken& tokens)
    : CLoggerFsm(name, StateTable(), trace, debugMask, tokens, Profile, false)
{
}

void CP2XLogger::OnInputDropped(std::uint64_t droppedSoFar)
{
    m_core.ReportInputDropped(droppedSoFar);
}

CP2XLogger::~CP2XLogger()
{
    m_core.CloseDataPort();
    StopTimer(WAIT_DATA_TIMEOUT);
    m_core.dataReceived = false;
    Stop();
    m_core.Finish("\n\tP2X terminates.\n");
}

void CP2XLogger::LogSentence(const CTRXSignal& sentence)
{
    const std::string_view text = SentenceText(sentence);
    switch (m_remembered.Take(text)) {
    case CRememberedSentences::Outcome::New:
        // A sentence that did not reach the file (disk full) is not remembered
        // as written: it is written when it comes again.
        if (!m_core.LogFile().WriteLine(text.data(), text.size())) {
            m_remembered.Forget(text);
        }
        break;
    case CRememberedSentences::Outcome::Changed:
        // The changed sentence opens the next file and is its first line.
        PutInternal(new CTRXSignal(NEW_FILE_TIMEOUT, this, nullptr, 0));
        PutInternal(new CTRXSignal(sentence));
        break;
    case CRememberedSentences::Outcome::Known:
    case CRememberedSentences::Outcome::Ignored:
        break;
    }
}

void CP2XLogger::JobWaitLogging(CTRXSignal** signal)
{
    TraceJob("JobWaitLogging");
    (*signal)->ReleasePayload();
    LoggerParameters row;
    if (!m_core.ReadParameterRow(row) || row.logging_selected == 0) {
        m_core.SendStatus(false);
        return;
    }
    // Logging was left on: switch it on again through the logger's own command.
    const std::string start = P2XStartSentence(row.dir_value, row.file_value, row.line_interval_value,
                                               m_core.Settings().sourcePort);
    const auto length = static_cast<std::int32_t>(start.size());
    PutInternal(new CTRXSignal(ZELIX_173, nullptr, CopyPayload(start.data(), length), length));
}

void CP2XLogger::JobPrepLogging(CTRXSignal** signal)
{
    TraceJob("JobPrepLogging");
    StopTimer(WAIT_DATA_TIMEOUT);
    m_core.dataReceived = false;
    m_core.TakeCommandSettings(**signal, true);
    (*signal)->ReleasePayload();
    StartTimer(WAIT_DATA_TIMEOUT, m_core.MaxWaitMs());
}

void CP2XLogger::JobStartLogging(CTRXSignal** signal)
{
    TraceJob("JobStartLogging");
    m_core.dataReceived = true;
    const bool opened = (*signal)->Payload() != nullptr &&
                        m_core.OpenNewFile(static_cast<std::int32_t>(platform::Now().seconds));
    if (opened) {
        LogSentence(**signal);
        m_core.SendStatus(true);
    }
    (*signal)->ReleasePayload();
    if (!opened) {
        PutInternal(new CTRXSignal(ERROR_NO_LOGFILE, this, nullptr, 0));
    }
}

void CP2XLogger::JobLog(CTRXSignal** signal)
{
    TraceJob("JobLog");
    m_core.dataReceived = true;
    LogSentence(**signal);
    (*signal)->ReleasePayload();
}

void CP2XLogger::JobNewFile(CTRXSignal** signal)
{
    TraceJob("JobNewFile");
    StopTimer(WAIT_DATA_TIMEOUT);
    m_core.dataReceived = false;
    m_core.LogFile().CloseLogFile();
    m_core.TakeCommandSettings(**signal, false);
    (*signal)->ReleasePayload();
    StartTimer(WAIT_DATA_TIMEOUT, m_core.MaxWaitMs());
}

void CP2XLogger::JobTimedNewFile(CTRXSignal** signal)
{
    TraceJob("JobTimedNewFile");
    (*signal)->ReleasePayload();
    m_core.dataReceived = false;
    m_core.LogFile().CloseLogFile();
    // One data check at a time: every change of sentence comes through here.
    StopTimer(WAIT_DATA_TIMEOUT);
    StartTimer(WAIT_DATA_TIMEOUT, m_core.MaxWaitMs());
}

void CP2XLogger::JobTimedPrepLogging(CTRXSignal** signal)
{
    TraceAndRelease("JobTimedPrepLogging", signal);
}

void CP2XLogger::JobCheckInput(CTRXSignal** signal)
{
    TraceJob("JobCheckInput");
    (*signal)->ReleasePayload();
    if (!m_core.dataReceived) {
        m_core.ReportNoData();
    }
    m_core.dataReceived = false;
    StartTimer(WAIT_DATA_TIMEOUT, m_core.MaxWaitMs());
}

void CP2XLogger::JobNoLogFile(CTRXSignal** signal)
{
    TraceJob("JobNoLogFile");
    (*signal)->ReleasePayload();
    m_core.dataReceived = false;
    m_core.ReportNoLogFile();
}

void CP2XLogger::JobStopPrep(CTRXSignal** signal)
{
    TraceJob("JobStopPrep");
    m_core.LoggingOff();
    (*signal)->ReleasePayload();
    StopTimer(WAIT_DATA_TIMEOUT);
    m_core.dataReceived = false;
    m_core.SendStatus(false);
}

void CP2XLogger::JobStopLogging(CTRXSignal** signal)
{
    TraceJob("JobStopLogging");
    m_core.LoggingOff();
    (*signal)->ReleasePayload();
    StopTimer(WAIT_DATA_TIMEOUT);
    m_core.dataReceived = false;
    m_core.LogFile().CloseLogFile();
    m_core.SendStatus(false);
}

