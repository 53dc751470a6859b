// What the heave and the P2X logger share: the classification of sensor
// datagrams, the logging settings taken from a control sentence's fields with
// token fallback, the status sentences to the operator-status port, and the data
// port (an I/O thread with the UDP receiver on it). A data port is used by its
// logger's own thread (InitJob and jobs); its receive handler runs on the I/O thread.
#pragma once

#include "formats/Sentences.h"
#include "net/IoThread.h"
#include "net/UdpReceiver.h"
#include "platform/PortClaim.h"

#include <log4cplus/loglevel.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CFsmBase;
class CGetToken;
class LoggerStatistics;

// The signal number a sensor datagram stands for:
// - "$PQRV" sentences: field 2 as a decimal integer, 25/26/27 giving ORVANTA_P25..P27
//   and any other value from 0 to 49999 itself; nullopt when field 2 is missing,
//   holds no number or a value outside 0..49999, where the machines' own signals
//   lie (such a sentence is dropped: a sensor cannot send a control sentence);
// - 0xAA 'R' (13 bytes), 'S' (52 bytes), 'Q' (44 bytes) with no '#' at offset 4:
//   ORVANTA_QHV, ORVANTA_QHV26, ORVANTA_BIN;
// - 0 for anything else. Without `withHeave` heave datagrams are anything else too.
std::optional<std::int32_t> SensorSignalNumber(const char* bytes, std::size_t length, bool withHeave);

// A logger's receive handler: the datagram as a signal from `machine` with a copy
// of its bytes, at the back of the machine's external queue. A $PQRV sentence
// without a readable type is dropped. Counted in `statistics`: every datagram,
// those that are no sensor datagram, those the full queue refuses. `quietly`:
// the machine's input thread is woken only by the next machine.WakeForQueued(),
// at the end of the batch.
void QueueSensorDatagram(CFsmBase& machine, const char* bytes, std::size_t length, bool withHeave,
                         LoggerStatistics& statistics, bool quietly = false);

// The tokens that stand in for a logger's settings.
struct LoggerTokenNames {
    const char* directory;
    const char* fileTemplate;
    const char* interval;
    const char* sourcePort;
};

// The tokens of each logger.
inline constexpr LoggerTokenNames HeaveSettingTokens { "RUNT_PARAM_QHV_DIR", "RUNT_PARAM_QHV_FILE",
                                                      "RUNT_PARAM_QHV_INTERVAL_TIME",
                                                      "RUNT_PARAM_QHV_LOG_SOURCE_PORT" };
inline constexpr LoggerTokenNames P2XSettingTokens { "RUNT_PARAM_P2X_DIR", "RUNT_PARAM_P2X_FILE",
                                                    "RUNT_PARAM_P2X_INTERVAL_TIME",
                                                    "RUNT_PARAM_P2X_LOG_SOURCE_PORT" };

struct LoggerSettings {
    std::string directory;
    std::string fileTemplate;
    std::int32_t interval = 0;  // minutes per file
    std::int32_t sourcePort = 0;
};

// Directory, template, interval and port from fields 3 to 6 of a logging
// command; a field that is empty or missing takes the value of its token, and
// so does a number field whose number does not fit (FieldInteger), with a line
// for the trace added to `warnings`.
LoggerSettings SettingsFromSentence(std::string_view sentence, const LoggerTokenNames& tokens, CGetToken& store,
                                    std::vector<std::string>* warnings = nullptr);
// All four from their tokens (a missing token reads as empty or 0).
LoggerSettings SettingsFromTokens(const LoggerTokenNames& tokens, CGetToken& store);

// The port a logger can bind for its sensor: 1 to 65535. Port 0 would bind an
// ephemeral port that no sensor can reach.
std::optional<std::uint16_t> BindablePort(std::int32_t port);

// Sends "$ZELIX,<number>,ON\n\r" or "...,OFF\n\r" to 127.0.0.1:4002.
void SendLoggerStatus(int sentenceNumber, bool on);

// Milliseconds for a timer of `count` units of `unitMs`, kept within the timer's range.
std::int32_t TimerDelayMs(std::int64_t count, std::int64_t unitMs);

// A logger's data port: the I/O thread and the receiver on it. The receiver's
// texts go to the owner's trace and to the process log at `level`; datagrams go
// to `receive` on the I/O thread, and the end of each batch of them to `batchEnd`.
class CLoggerDataPort {
public:
    CLoggerDataPort(const CFsmBase& owner, log4cplus::LogLevel level, UdpReceiver::ReceiveHandler receive,
                    UdpReceiver::BatchEndHandler batchEnd = {});
    // Closes the receiver and stops the I/O thread.
    ~CLoggerDataPort();

    CLoggerDataPort(const CLoggerDataPort&) = delete;
    CLoggerDataPort& operator=(const CLoggerDataPort&) = delete;

    // Claims `port` machine-wide (platform::PortClaim), builds a new receiver
    // on it, and then closes the current one. A port that another process has
    // claimed, or that cannot be bound, is reported through the log handler
    // (trace and process log), and the current receiver stays. True when bound.
    bool Open(std::uint16_t port);
    // Moves the current receiver to `port` (reopenOnPort) once the port is
    // claimed; builds one when there is none. Failures are reported as for
    // Open. True when bound.
    bool Reopen(std::uint16_t port);
    void Close();

    // Starts the I/O thread; when it ends it writes the "Warn: Thread for IO
    // context ..." line to the trace.
    void StartThread();
    void StopThread();

    // Where the receiver counts the senders its allow-list refuses and the
    // port's errors go; set before the first Open.
    void SetStatistics(LoggerStatistics* statistics) { m_statistics = statistics; }

    // The port the receiver is bound to, 0 when there is none.
    std::uint16_t BoundPort() const;
    // The port this data port has claimed, 0 when none.
    std::uint16_t ClaimedPort() const { return m_claim.Port(); }

private:
    void Log(const std::string& text) const;
    // A receiver with the logger's handlers and the sensor allow-list, not yet bound.
    std::unique_ptr<UdpReceiver> MakeReceiver();
    // A claim of `port` in `claim`, or of none when this data port holds it
    // already; false, reported, when another holder has it.
    bool Claim(std::uint16_t port, platform::PortClaim& claim);
    // Keeps the claim of the port now bound: the new one after a move, the old
    // one when the move failed; none when nothing is bound.
    void KeepClaim(platform::PortClaim& claim);

    const CFsmBase& m_owner;
    const log4cplus::LogLevel m_level;
    const UdpReceiver::ReceiveHandler m_receive;
    const UdpReceiver::BatchEndHandler m_batchEnd;
    IoThread m_io;  // outlives the receiver: declared first, destroyed last
    std::unique_ptr<UdpReceiver> m_receiver;
    platform::PortClaim m_claim;  // keeps other QHVLogger processes off the bound port
    LoggerStatistics* m_statistics = nullptr;
};
