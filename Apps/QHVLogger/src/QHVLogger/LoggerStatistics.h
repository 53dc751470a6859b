// What a logger has done since the process started, for the status line, the
// status socket and the metrics file: counters bumped where the logger already
// knows the event (the receive handler on the I/O thread, the jobs on the
// logger's thread), read by the status publisher's thread. On the datagram road
// every update is one relaxed atomic add or store: no lock, no allocation, no
// system call. The few texts (file path, last error) change at file open and
// close and on errors only, under a small mutex.
#pragma once

#include "fsm/FsmQueueLoad.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Why a datagram that reached a data port was not written.
enum class DropReason : std::size_t {
    Classification,  // no sensor datagram, or a $PQRV sentence whose type is no number
    TwentySix,       // a 13-byte heave datagram while 52-byte ones arrive
    QueueBound,      // the logger's input queue was full
    AllowList,       // the sender is not in the sensor allow-list
    Count
};

// The name of a reason as the metrics and the JSON status use it.
const char* DropReasonName(DropReason reason);

// One logger's figures at one moment.
struct LoggerFigures {
    std::uint64_t received = 0;
    std::uint64_t written = 0;  // records (.qhv) or lines (.p2x)
    std::uint64_t bytesWritten = 0;
    std::uint64_t filesOpened = 0;
    std::uint64_t writeErrors = 0;
    std::uint64_t databaseErrors = 0;
    std::array<std::uint64_t, static_cast<std::size_t>(DropReason::Count)> dropped {};
    std::uint64_t queueLength = 0;
    bool loggingOn = false;
    bool parametersFailed = false;  // the logger could not read its parameter row
    bool started = false;         // the logger exists (its parameter row has been asked for)
    std::uint16_t boundPort = 0;  // 0: no data port
    std::int32_t wantedPort = 0;  // the source port of its settings
    std::int32_t maxWaitSeconds = 0;
    // Seconds since the last datagram queued for the logger, and since logging
    // was switched on; negative when there was none.
    double lastDatagramAge = -1;
    double onFor = -1;
    std::string filePath;  // native path of the open file; empty when none is open
    std::uint64_t fileBytes = 0;
    std::string lastError;
};

class LoggerStatistics {
public:
    using Clock = std::chrono::steady_clock;

    // The receive handler, per datagram (I/O thread).
    void Received() { m_received.fetch_add(1, std::memory_order_relaxed); }
    void Queued() { m_lastDatagram.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }
    void Dropped(DropReason reason)
    {
        m_dropped[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
    }
    // The counter the data port's receiver adds its allow-list refusals to.
    std::atomic<std::uint64_t>& AllowListDrops() { return m_dropped[static_cast<std::size_t>(DropReason::AllowList)]; }

    // The log file, per record or line and at open and close (logger's thread).
    // The bytes are counted before their records, and Snapshot reads the
    // records first: a reader never sees records whose bytes are missing.
    void Written(std::size_t records, std::size_t bytes)
    {
        m_bytesWritten.fetch_add(bytes, std::memory_order_relaxed);
        m_written.fetch_add(records, std::memory_order_release);
    }
    void WriteFailed() { m_writeErrors.fetch_add(1, std::memory_order_relaxed); }
    void FileOpened(const std::string& nativePath);
    void FileClosed();

    // The logger core (logger's thread).
    void Started(std::int32_t maxWaitSeconds, std::shared_ptr<const CQueueLoad> queue);
    void Ended();
    void LoggingSwitched(bool on);
    void ParametersRead(bool read);
    void Ports(std::uint16_t bound, std::int32_t wanted);
    void DatabaseFailed(const std::string& what);
    void Error(const std::string& text);

    LoggerFigures Figures() const;

private:
    std::atomic<std::uint64_t> m_received { 0 };
    std::atomic<std::uint64_t> m_written { 0 };
    std::atomic<std::uint64_t> m_bytesWritten { 0 };
    std::atomic<std::uint64_t> m_filesOpened { 0 };
    std::atomic<std::uint64_t> m_writeErrors { 0 };
    std::atomic<std::uint64_t> m_databaseErrors { 0 };
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(DropReason::Count)> m_dropped {};
    std::atomic<Clock::rep> m_lastDatagram { 0 };  // 0: none yet
    std::atomic<Clock::rep> m_switchedOn { 0 };    // 0: logging off
    std::atomic<bool> m_parametersFailed { false };
    std::atomic<bool> m_started { false };
    std::atomic<std::uint16_t> m_boundPort { 0 };
    std::atomic<std::int32_t> m_wantedPort { 0 };
    std::atomic<std::int32_t> m_maxWaitSeconds { 0 };

    mutable std::mutex m_mutex;  // the members below
    std::string m_filePath;
    std::uint64_t m_bytesAtOpen = 0;  // m_bytesWritten when the file was opened
    std::string m_lastError;
    std::shared_ptr<const CQueueLoad> m_queue;
};

// The statistics of the two loggers; they live as long as the process.
LoggerStatistics& HeaveStatistics();
LoggerStatistics& P2XStatistics();
