#include "QHVLogger/LoggerCore.h"

#include "LogTrace/LogTrace.h"
#include "QHVLogger/LoggingResume.h"
#include "QHVLogger/ProcessWide.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "net/SocketTable.h"
#include "platform/Paths.h"
#include "platform/PortClaim.h"
#include "platform/Time.h"
#include "tokens/GetToken.h"

#include <log4cplus/loggingmacros.h>

#include <new>
#include <string_view>
#include <vector>

namespace {

constexpr char UserProfile[] = "QV user";
// The logger's end waits this long after its threads stopped before the I/O thread goes.
constexpr std::int64_t FinishSettleMs = 1000;

}  // namespace

CLoggerCore::CLoggerCore(const CFsmBase& owner, const LoggerProfile& profile, CGetToken& tokens,
                         UdpReceiver::ReceiveHandler receive, UdpReceiver::BatchEndHandler batchEnd)
    : m_owner(owner),
      m_profile(profile),
      m_statistics(profile.statistics()),
      m_tokens(tokens),
      m_database(std::make_unique<CDBoperations>(profile.databaseName)),
      m_messages(std::make_unique<CMessages>()),
      m_dataPort(owner, profile.receiverLogLevel, std::move(receive), std::move(batchEnd))
{
    m_messages->setDatabase(m_database.get());
    ReportMessagesToProcessLog(*m_messages);
    m_database->connect(SystemDataSource, SystemDatabaseUser, SystemDatabasePassword, profile.databaseName);
    m_messages->loadMessageTypes();
    int version = 0;
    char* versionName = nullptr;
    m_database->getVersion(&version, &versionName);
    if (LogTrace* trace = owner.Trace()) {
        trace->Append("DATABASE INFO: ver. %i, proc. %s\n", version, versionName != nullptr ? versionName : "");
    }
    delete[] versionName;

    m_logFile.reset(new (std::nothrow) CDatagramLogFile(owner, profile.extension, profile.label));
    if (!m_logFile) {
        owner.TraceData("%s", profile.noStreamText);
        m_messages->sendMessageNoText(profile.noStreamMessage);
        ShutdownLogAndEndProcess(-1);
    }
    m_logFile->SetWriteErrorReport([this](const std::string& path) { ReportWriteError(path); });
    m_logFile->SetStatistics(&m_statistics);
    m_dataPort.SetStatistics(&m_statistics);

    m_maxWait = m_tokens.getTokValueInt(profile.maxWaitToken);
    if (m_maxWait == 0) {
        m_maxWait = profile.defaultMaxWait;
    }
    m_statistics.Started(m_maxWait, owner.ExternalLoad());
}

CLoggerCore::~CLoggerCore()
{
    m_statistics.Ended();
}

void CLoggerCore::OpenDataPort()
{
    m_settings.sourcePort = m_tokens.getTokValueInt(m_profile.settingTokens.sourcePort);
    if (m_settings.sourcePort == 0) {
        m_settings.sourcePort = m_profile.defaultSourcePort;
    }
    BindDataPort();
    m_statistics.Ports(m_dataPort.BoundPort(), m_settings.sourcePort);
    m_dataPort.StartThread();
}

void CLoggerCore::Finish(const char* traceText)
{
    if (m_logFile->IsOpen()) {
        m_logFile->CloseLogFile();
    }
    m_logFile.reset();
    platform::SleepMs(FinishSettleMs);
    m_dataPort.StopThread();
    m_owner.TraceData("%s", traceText);
}

const char* CLoggerCore::PortOfThisProcess(std::uint16_t port) const
{
    if (port == OperatorStatusPort) {
        return "the operator-status port";
    }
    if (port != m_dataPort.ClaimedPort() && platform::PortClaim::HeldByThisProcess(port)) {
        return "the control port or the other logger's data port";
    }
    return nullptr;
}

void CLoggerCore::BindDataPort()
{
    const std::optional<std::uint16_t> port = BindablePort(m_settings.sourcePort);
    if (!port) {
        m_owner.TraceData("\n\tERROR: Source port %d cannot be bound; no data port.", m_settings.sourcePort);
        return;
    }
    if (const char* what = PortOfThisProcess(*port)) {
        m_owner.TraceData("\n\tERROR: Source port %d is %s; no data port.", *port, what);
        return;
    }
    if (m_profile.reopenOnNewPort) {
        m_dataPort.Reopen(*port);
    } else {
        m_dataPort.Open(*port);
    }
}

void CLoggerCore::UseSourcePort(std::int32_t port)
{
    if (!BindablePort(port)) {
        m_owner.TraceData("\n\tWarning: Source port %d ignored; data port stays on %d.", port,
                          m_dataPort.BoundPort());
        return;
    }
    if (const char* what = PortOfThisProcess(static_cast<std::uint16_t>(port))) {
        m_owner.TraceData("\n\tWarning: Source port %d is %s; ignored, data port stays on %d.", port, what,
                          m_dataPort.BoundPort());
        return;
    }
    const bool moved = port != m_settings.sourcePort;
    m_settings.sourcePort = port;
    if (moved || m_dataPort.BoundPort() != port) {
        BindDataPort();
    }
    m_statistics.Ports(m_dataPort.BoundPort(), m_settings.sourcePort);
}

bool CLoggerCore::ReadParameterRow(LoggerParameters& row)
{
    row = LoggerParameters {};
    return m_database->getLoggerParameters(UserProfile, m_profile.processName, &row) == 0;
}

bool CLoggerCore::ReadParameters()
{
    LoggerParameters row;
    const bool read = ReadParameterRow(row);
    m_statistics.ParametersRead(read);
    if (!read) {
        m_statistics.DatabaseFailed(std::string("parameter row ") + m_profile.processName + " not read");
        m_owner.TraceData("%s", m_profile.noParametersText);
        m_messages->sendMessageNoText(m_profile.noParametersMessage);
        return false;
    }
    m_settings.directory = row.dir_value;
    m_settings.fileTemplate = row.file_value;
    const std::optional<std::int32_t> interval = FieldInteger(row.line_interval_value);
    if (!interval) {
        m_owner.TraceData("\n\tWarning: Interval '%s' of the parameter row does not fit its number; the token %s "
                          "is used.",
                          row.line_interval_value, m_profile.settingTokens.interval);
    }
    m_settings.interval = interval ? *interval : m_tokens.getTokValueInt(m_profile.settingTokens.interval);
    m_settings.sourcePort = m_tokens.getTokValueInt(m_profile.settingTokens.sourcePort);
    if (m_settings.sourcePort == 0) {
        m_settings.sourcePort = m_profile.defaultSourcePort;
    }
    return true;
}

void CLoggerCore::TakeCommandSettings(const CTRXSignal& command, bool withDefaults)
{
    LoggerSettings settings;
    const bool hasFields = command.Payload() != nullptr && command.Length() > 0;
    if (hasFields) {
        const std::string_view sentence(command.Payload(), static_cast<std::size_t>(command.Length()));
        std::vector<std::string> warnings;
        settings = SettingsFromSentence(sentence, m_profile.settingTokens, m_tokens, &warnings);
        for (const std::string& warning : warnings) {
            m_owner.TraceData("%s", warning.c_str());
        }
    } else {
        settings = SettingsFromTokens(m_profile.settingTokens, m_tokens);
        if (withDefaults && settings.interval == 0) {
            settings.interval = DefaultFileInterval;
        }
        if (withDefaults && settings.sourcePort == 0) {
            settings.sourcePort = m_profile.defaultSourcePort;
        }
    }
    m_settings.directory = settings.directory;
    m_settings.fileTemplate = settings.fileTemplate;
    m_settings.interval = settings.interval;
    if (hasFields || withDefaults) {
        UseSourcePort(settings.sourcePort);
    }
    LoggingResume().LoggingOn(m_profile.processName, m_settings);
    m_statistics.LoggingSwitched(true);
    const std::uint16_t port = m_dataPort.BoundPort();
    const std::string text = std::string(m_profile.label) + " logging switched on: " + m_settings.directory + "\\" +
                             m_settings.fileTemplate + ", " + std::to_string(m_settings.interval) + " min per file, " +
                             (port != 0 ? "data port " + std::to_string(port) : std::string("no data port"));
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
    m_lastStatus = Status::Unknown;  // the status that follows a command is always told
}

void CLoggerCore::LoggingOff()
{
    LoggingResume().LoggingOff(m_profile.processName);
    m_statistics.LoggingSwitched(false);
}

bool CLoggerCore::OpenNewFile(std::int32_t epoch)
{
    m_logFile->SetPath(ExpandFileNameTokens(m_settings.directory + "\\" + m_settings.fileTemplate, epoch));
    if (!m_logFile->OpenLogFile()) {
        return false;
    }
    m_noLogFileCount = 0;
    return true;
}

void CLoggerCore::ReportNoLogFile()
{
    if (m_noLogFileCount % NoLogFileReportEvery == 0) {
        m_statistics.Error("cannot open log file " + platform::NativePath(m_logFile->Path()));
        m_owner.TraceData(m_profile.noLogFileFormat, m_logFile->Path().c_str());
        m_messages->sendMessage(m_profile.noLogFileMessage, CollapseSeparators(m_logFile->Path()).c_str());
    }
    ++m_noLogFileCount;
}

void CLoggerCore::ReportWriteError(const std::string& path)
{
    // The file's own trace line says what failed.
    m_statistics.Error("cannot write to log file " + platform::NativePath(path));
    m_messages->sendMessage(m_profile.noLogFileMessage, CollapseSeparators(path).c_str());
}

void CLoggerCore::ReportNoData()
{
    m_statistics.Error("no data received for " + std::to_string(m_maxWait) + " s");
    m_owner.TraceData("%s", m_profile.noDataText);
    m_messages->sendMessageNoText(m_profile.noDataMessage);
}

void CLoggerCore::ReportInputDropped(std::uint64_t droppedSoFar)
{
    m_owner.TraceData(m_profile.inputDroppedFormat, static_cast<unsigned long long>(droppedSoFar));
    m_messages->sendMessageNoText(m_profile.inputDroppedMessage);
}

void CLoggerCore::SendStatus(bool on)
{
    SendLoggerStatus(m_profile.statusSentence, on);
    const Status status = on ? Status::On : Status::Off;
    if (status == m_lastStatus) {
        return;
    }
    m_lastStatus = status;
    const std::uint16_t port = m_dataPort.BoundPort();
    const std::string where = port != 0 ? "port " + std::to_string(port) : std::string("no data port");
    const std::string text = std::string(m_profile.label) + " logging " + (on ? "ON (" + where + ")" : std::string("OFF"));
    LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
}
