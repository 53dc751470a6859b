#include "QHVLogger/LoggerStatistics.h"

#include <utility>

namespace {

constexpr auto Relaxed = std::memory_order_relaxed;

// Seconds from a steady-clock count to now; negative for none (0).
double SecondsSince(LoggerStatistics::Clock::rep count, LoggerStatistics::Clock::time_point now)
{
    if (count == 0) {
        return -1;
    }
    const LoggerStatistics::Clock::time_point then { LoggerStatistics::Clock::duration(count) };
    return std::chrono::duration<double>(now - then).count();
}

}  // namespace

const char* DropReasonName(DropReason reason)
{
    switch (reason) {
    case DropReason::Classification: return "classification";
    case DropReason::TwentySix: return "twenty_six_mode";
    case DropReason::QueueBound: return "queue_bound";
    case DropReason::AllowList: return "allow_list";
    case DropReason::Count: break;
    }
    return "unknown";
}

void LoggerStatistics::FileOpened(const std::string& nativePath)
{
    m_filesOpened.fetch_add(1, Relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filePath = nativePath;
    m_bytesAtOpen = m_bytesWritten.load(Relaxed);
}

void LoggerStatistics::FileClosed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filePath.clear();
}

void LoggerStatistics::Started(std::int32_t maxWaitSeconds, std::shared_ptr<const CQueueLoad> queue)
{
    m_maxWaitSeconds.store(maxWaitSeconds, Relaxed);
    m_started.store(true, Relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue = std::move(queue);
}

void LoggerStatistics::Ended()
{
    m_started.store(false, Relaxed);
    m_switchedOn.store(0, Relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.reset();
    m_filePath.clear();
}

void LoggerStatistics::LoggingSwitched(bool on)
{
    // A command that only starts the next file keeps the time logging went on.
    if (!on) {
        m_switchedOn.store(0, Relaxed);
    } else if (m_switchedOn.load(Relaxed) == 0) {
        m_switchedOn.store(Clock::now().time_since_epoch().count(), Relaxed);
    }
}

void LoggerStatistics::ParametersRead(bool read)
{
    m_parametersFailed.store(!read, Relaxed);
}

void LoggerStatistics::Ports(std::uint16_t bound, std::int32_t wanted)
{
    m_boundPort.store(bound, Relaxed);
    m_wantedPort.store(wanted, Relaxed);
}

void LoggerStatistics::DatabaseFailed(const std::string& what)
{
    m_databaseErrors.fetch_add(1, Relaxed);
    Error(what);
}

void LoggerStatistics::Error(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastError = text;
}

LoggerFigures LoggerStatistics::Figures() const
{
    const Clock::time_point now = Clock::now();
    LoggerFigures figures;
    figures.received = m_received.load(Relaxed);
    figures.written = m_written.load(std::memory_order_acquire);  // before the bytes: see Written
    figures.bytesWritten = m_bytesWritten.load(Relaxed);
    figures.filesOpened = m_filesOpened.load(Relaxed);
    figures.writeErrors = m_writeErrors.load(Relaxed);
    figures.databaseErrors = m_databaseErrors.load(Relaxed);
    for (std::size_t i = 0; i < m_dropped.size(); ++i) {
        figures.dropped[i] = m_dropped[i].load(Relaxed);
    }
    const Clock::rep switchedOn = m_switchedOn.load(Relaxed);
    figures.loggingOn = switchedOn != 0;
    figures.onFor = SecondsSince(switchedOn, now);
    figures.lastDatagramAge = SecondsSince(m_lastDatagram.load(Relaxed), now);
    figures.parametersFailed = m_parametersFailed.load(Relaxed);
    figures.started = m_started.load(Relaxed);
    figures.boundPort = m_boundPort.load(Relaxed);
    figures.wantedPort = m_wantedPort.load(Relaxed);
    figures.maxWaitSeconds = m_maxWaitSeconds.load(Relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    figures.filePath = m_filePath;
    const std::uint64_t bytesNow = m_bytesWritten.load(Relaxed);  // not before the open read under the lock
    figures.fileBytes = m_filePath.empty() || bytesNow < m_bytesAtOpen ? 0 : bytesNow - m_bytesAtOpen;
    figures.lastError = m_lastError;
    figures.queueLength = m_queue ? m_queue->signalCount.load(Relaxed) : 0;
    return figures;
}

LoggerStatistics& HeaveStatistics()
{
    // Never destroyed: the process ends without running destructors, and other
    // threads may count until then.
    static LoggerStatistics* const statistics = new LoggerStatistics;
    return *statistics;
}

LoggerStatistics& P2XStatistics()
{
    static LoggerStatistics* const statistics = new LoggerStatistics;
    return *statistics;
}
