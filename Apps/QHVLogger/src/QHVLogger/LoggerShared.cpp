#include "QHVLogger/LoggerShared.h"

#include "QHVLogger/LoggerStatistics.h"
#include "QHVLogger/ProcessWide.h"
#include "formats/HeaveDatagram.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "fsm/SignalNames.h"
#include "net/ControlSentence.h"
#include "net/SendSentence.h"
#include "net/SocketTable.h"
#include "net/SourceAllowList.h"
#include "tokens/GetToken.h"

#include <log4cplus/logger.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>

std::optional<std::int32_t> SensorSignalNumber(const char* bytes, std::size_t length, bool withHeave)
{
    if (bytes == nullptr || length == 0) {
        return 0;
    }
    const std::string_view datagram(bytes, length);
    if (formats::IsSensorSentence(datagram)) {
        const std::optional<std::int32_t> type = formats::SensorSentenceType(datagram);
        if (!type) {
            return std::nullopt;
        }
        switch (*type) {
        case 25: return ORVANTA_P25;
        case 26: return ORVANTA_P26;
        case 27: return ORVANTA_P27;
        default:
            // Never one of the machines' own signals (negative, or from 50000 on:
            // control sentences, timers, internal signals): "$PQRV,50024" on a
            // data port would otherwise end the process like "$ZELIX,24".
            if (*type < 0 || *type >= ControlSignalBase) {
                return std::nullopt;
            }
            return *type;
        }
    }
    if (!withHeave) {
        return 0;
    }
    switch (formats::HeaveKindOf(datagram)) {
    case formats::HeaveKind::Short: return ORVANTA_QHV;
    case formats::HeaveKind::Long: return ORVANTA_QHV26;
    case formats::HeaveKind::Binary: return ORVANTA_BIN;
    case formats::HeaveKind::None: break;
    }
    return 0;
}

void QueueSensorDatagram(CFsmBase& machine, const char* bytes, std::size_t length, bool withHeave,
                         LoggerStatistics& statistics, bool quietly)
{
    statistics.Received();
    const std::optional<std::int32_t> number = SensorSignalNumber(bytes, length, withHeave);
    if (!number || *number == 0) {
        statistics.Dropped(DropReason::Classification);
    }
    if (!number) {
        return;
    }
    const auto payloadLength = static_cast<std::int32_t>(length);
    CTRXSignal* signal = new CTRXSignal(*number, &machine, CopyPayload(bytes, payloadLength), payloadLength);
    // Queued or, past the queue's bound, dropped.
    const bool queued = quietly ? machine.PutExternalBoundedQuietly(&signal) : machine.PutExternalBounded(&signal);
    if (!queued) {
        statistics.Dropped(DropReason::QueueBound);
    } else if (*number != 0) {
        statistics.Queued();
    }
}

LoggerSettings SettingsFromSentence(std::string_view sentence, const LoggerTokenNames& tokens, CGetToken& store,
                                    std::vector<std::string>* warnings)
{
    const auto text = [&](int number, const char* token) {
        const std::optional<std::string_view> field = SentenceField(sentence, number);
        return field && !field->empty() ? std::string(*field) : store.getTokValueStr(token);
    };
    const auto integer = [&](int number, const char* token) {
        const std::optional<std::string_view> field = SentenceField(sentence, number);
        if (!field || field->empty()) {
            return store.getTokValueInt(token);
        }
        if (const std::optional<std::int32_t> value = FieldInteger(*field)) {
            return *value;
        }
        if (warnings != nullptr) {
            warnings->push_back("\n\tWarning: Field " + std::to_string(number) + " '" + std::string(*field) +
                                "' does not fit its number; the token " + token + " is used.");
        }
        return store.getTokValueInt(token);
    };
    LoggerSettings settings;
    settings.directory = text(3, tokens.directory);
    settings.fileTemplate = text(4, tokens.fileTemplate);
    settings.interval = integer(5, tokens.interval);
    settings.sourcePort = integer(6, tokens.sourcePort);
    return settings;
}

LoggerSettings SettingsFromTokens(const LoggerTokenNames& tokens, CGetToken& store)
{
    LoggerSettings settings;
    settings.directory = store.getTokValueStr(tokens.directory);
    settings.fileTemplate = store.getTokValueStr(tokens.fileTemplate);
    settings.interval = store.getTokValueInt(tokens.interval);
    settings.sourcePort = store.getTokValueInt(tokens.sourcePort);
    return settings;
}

std::optional<std::uint16_t> BindablePort(std::int32_t port)
{
    if (port < 1 || port > std::numeric_limits<std::uint16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

void SendLoggerStatus(int sentenceNumber, bool on)
{
    static const std::string destination = "127.0.0.1:" + std::to_string(OperatorStatusPort);
    sendSentence(StatusSentence(sentenceNumber, on), destination, 0);
}

std::int32_t TimerDelayMs(std::int64_t count, std::int64_t unitMs)
{
    constexpr std::int64_t Longest = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(count * unitMs, 0, Longest));
}

CLoggerDataPort::CLoggerDataPort(const CFsmBase& owner, log4cplus::LogLevel level,
                                 UdpReceiver::ReceiveHandler receive, UdpReceiver::BatchEndHandler batchEnd)
    : m_owner(owner), m_level(level), m_receive(std::move(receive)), m_batchEnd(std::move(batchEnd))
{
}

CLoggerDataPort::~CLoggerDataPort()
{
    Close();
    StopThread();
}

void CLoggerDataPort::Log(const std::string& text) const
{
    m_owner.TraceData("%s", text.c_str());
    if (m_statistics != nullptr && text.rfind("Error", 0) == 0) {
        m_statistics->Error(text);
    }
    const log4cplus::Logger logger = ProcessLogger();
    if (logger.isEnabledFor(m_level)) {
        logger.forcedLog(m_level, LOG4CPLUS_STRING_TO_TSTRING(text));
    }
}

std::unique_ptr<UdpReceiver> CLoggerDataPort::MakeReceiver()
{
    auto receiver = std::make_unique<UdpReceiver>(m_io.context());
    receiver->setLogHandler([this](const std::string& text) { Log(text); });
    receiver->setSourceFilter(SensorAllowList());
    if (m_statistics != nullptr) {
        receiver->countRefusalsIn(m_statistics->AllowListDrops());
    }
    // Before it receives: nothing that arrives from then on goes unhandled.
    receiver->setReceiveHandler(m_receive);
    receiver->setBatchEndHandler(m_batchEnd);
    return receiver;
}

bool CLoggerDataPort::Claim(std::uint16_t port, platform::PortClaim& claim)
{
    if (m_claim.Held() && m_claim.Port() == port) {
        return true;
    }
    claim = platform::PortClaim(port);
    if (claim.Held()) {
        return true;
    }
    const std::string reason = claim.Error() == EADDRINUSE ? "another QHVLogger process listens on it"
                                                           : "cannot claim it: " + std::string(std::strerror(claim.Error()));
    Log("Error: no data port " + std::to_string(port) + ": " + reason);
    return false;
}

void CLoggerDataPort::KeepClaim(platform::PortClaim& claim)
{
    const std::uint16_t bound = BoundPort();
    if (bound == 0) {
        m_claim = platform::PortClaim();
    } else if (claim.Held() && claim.Port() == bound) {
        m_claim = std::move(claim);
    }
}

bool CLoggerDataPort::Open(std::uint16_t port)
{
    platform::PortClaim claim;
    if (!Claim(port, claim)) {
        return false;
    }
    // The new receiver is bound before the current one closes; should the bind
    // fail, the current one stays.
    try {
        std::unique_ptr<UdpReceiver> receiver = MakeReceiver();
        receiver->openOnPort(port);
        Close();
        m_receiver = std::move(receiver);
        KeepClaim(claim);
        return true;
    } catch (const std::exception& e) {
        Log(std::string("Error: no data port: ") + e.what());
        KeepClaim(claim);
        return false;
    }
}

bool CLoggerDataPort::Reopen(std::uint16_t port)
{
    if (!m_receiver) {
        return Open(port);
    }
    platform::PortClaim claim;
    if (!Claim(port, claim)) {
        return false;
    }
    m_receiver->reopenOnPort(port);  // reports its own failure through the log handler
    KeepClaim(claim);
    return BoundPort() != 0;
}

void CLoggerDataPort::Close()
{
    if (m_receiver) {
        m_receiver->closeReceiver();
    }
}

void CLoggerDataPort::StartThread()
{
    m_io.start([this] { m_owner.TraceData("\n\tWarn: Thread for IO context for server connections terminated"); },
               m_owner.ThreadName("io"));
}

void CLoggerDataPort::StopThread()
{
    m_io.stop();
}

std::uint16_t CLoggerDataPort::BoundPort() const
{
    return m_receiver ? m_receiver->localPort() : 0;
}
