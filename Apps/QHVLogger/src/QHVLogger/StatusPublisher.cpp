#include "QHVLogger/StatusPublisher.h"

#include "LogTrace/LogTrace.h"
#include "QHVLogger/ProcessWide.h"
#include "db/DBoperations.h"

#include <log4cplus/loggingmacros.h>
#include <systemd/sd-daemon.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds RateWindow { 5 };
constexpr std::chrono::milliseconds SampleSpacing { 100 };
constexpr std::chrono::seconds FirstReportAfter { 2 };

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// QHV_STATUS_SOCKET, else status.sock in the first folder of RUNTIME_DIRECTORY
// (systemd separates several with ':'), else none.
std::string StatusSocketPath()
{
    const std::string chosen = Environment("QHV_STATUS_SOCKET");
    if (!chosen.empty()) {
        return chosen;
    }
    const std::string runtime = Environment("RUNTIME_DIRECTORY");
    if (runtime.empty()) {
        return "";
    }
    return runtime.substr(0, runtime.find(':')) + "/status.sock";
}

int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, 60000)));
}

bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry { fd, events, 0 };
        const int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

// The whole text to the descriptor, or false when it fails or the deadline passes.
bool WriteAllBefore(int fd, const std::string& text, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(fd, POLLOUT, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// True when a process accepts connections on the socket file at `path`.
bool SocketAnswers(const std::string& path)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const sockaddr_un address = AddressOf(path);
    const bool answers = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return answers;
}

}  // namespace

// The database check: a database object of its own, used by its own thread
// only. Shared with that thread, which is never joined: a database that does
// not answer must not hold up the end of the process.
struct StatusPublisher::DatabaseCheck {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    DatabaseState state = DatabaseState::Unchecked;
    std::string error;

    static void Run(std::shared_ptr<DatabaseCheck> check)
    {
        // A connection that cannot be made, or is lost later, the object tries
        // again itself at the next statement.
        CDBoperations database("QHVStatus");
        database.connect(SystemDataSource, SystemDatabaseUser, SystemDatabasePassword, nullptr);
        std::unique_lock<std::mutex> lock(check->mutex);
        while (!check->stop) {
            lock.unlock();
            int version = 0;
            char* versionName = nullptr;
            const bool answered = database.getVersion(&version, &versionName) == 0;
            delete[] versionName;
            lock.lock();
            check->state = answered ? DatabaseState::Connected : DatabaseState::Unavailable;
            check->error = answered ? "" : std::string("no answer from ") + SystemDataSource;
            check->wake.wait_for(lock, DatabaseCheckEvery, [&] { return check->stop; });
        }
    }
};

StatusPublisher::StatusPublisher(LogTrace* trace)
    : m_trace(trace),
      m_notify(!Environment("NOTIFY_SOCKET").empty()),
      m_metricsPath(Environment("QHV_METRICS_FILE")),
      m_socketPath(StatusSocketPath()),
      m_database(std::make_shared<DatabaseCheck>())
{
}

StatusPublisher::~StatusPublisher()
{
    Stop();
}

void StatusPublisher::Say(const std::string& text, bool error) const
{
    if (error) {
        LOG4CPLUS_WARN(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
    } else {
        LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING(text));
    }
    if (m_trace != nullptr) {
        m_trace->AppendText(("\n" + text + "\n").c_str());
    }
}

void StatusPublisher::Start()
{
    if (!m_socketPath.empty() && BindSocket()) {
        Say("Status socket: listening on " + m_socketPath, false);
    }
    if (!m_metricsPath.empty()) {
        Say("Metrics file: " + m_metricsPath + ", rewritten every 10 s", false);
    }
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::thread([database = m_database] {
        ::pthread_setname_np(::pthread_self(), "qhv:dbcheck");
        DatabaseCheck::Run(database);
    }).detach();
    m_thread = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "qhv:status");
        Run();
    });
}

void StatusPublisher::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_database->mutex);
        m_database->stop = true;
    }
    m_database->wake.notify_all();
    if (m_thread.joinable()) {
        m_stop = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    if (m_listener >= 0) {
        ::close(m_listener);
        m_listener = -1;
        // Only the file this process made: another process may have put its own there since.
        struct stat status {};
        if (::lstat(m_socketPath.c_str(), &status) == 0 && status.st_ino == m_socketInode) {
            ::unlink(m_socketPath.c_str());
        }
    }
    if (m_wake >= 0) {
        ::close(m_wake);
        m_wake = -1;
    }
}

bool StatusPublisher::BindSocket()
{
    sockaddr_un address {};
    if (m_socketPath.size() >= sizeof address.sun_path) {
        Say("Status socket: path too long, no status socket: " + m_socketPath, true);
        return false;
    }
    struct stat existing {};
    if (::lstat(m_socketPath.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            Say("Status socket: " + m_socketPath + " exists and is no socket; no status socket", true);
            return false;
        }
        if (SocketAnswers(m_socketPath)) {
            Say("Status socket: another process answers on " + m_socketPath + "; no status socket", true);
            return false;
        }
        ::unlink(m_socketPath.c_str());  // left by a process that has ended
    }
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0) {
        Say(std::string("Status socket: no socket: ") + std::strerror(errno), true);
        return false;
    }
    // The file takes the socket's mode less the umask: never more than owner
    // and group (the service's user and its group, and root), from its creation
    // on. The process-wide umask is left alone, other threads create log folders.
    address = AddressOf(m_socketPath);
    const bool bound = ::fchmod(listener, 0660) == 0 &&
                       ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!bound || ::chmod(m_socketPath.c_str(), 0660) != 0 || ::listen(listener, 8) != 0) {
        const int error = errno;
        if (bound) {
            ::unlink(m_socketPath.c_str());
        }
        ::close(listener);
        Say("Status socket: cannot listen on " + m_socketPath + ": " + std::strerror(error), true);
        return false;
    }
    struct stat made {};
    if (::lstat(m_socketPath.c_str(), &made) == 0) {
        m_socketInode = made.st_ino;
    }
    m_listener = listener;
    return true;
}

void StatusPublisher::TakeSample()
{
    // At most ten a second, however often clients ask.
    const Clock::time_point now = Clock::now();
    if (!m_samples.empty() && now - m_samples.back().at < SampleSpacing) {
        return;
    }
    m_samples.push_back({ now, HeaveStatistics().Figures().received, P2XStatistics().Figures().received });
    while (m_samples.size() > 2 && now - m_samples[1].at >= RateWindow) {
        m_samples.pop_front();
    }
}

StatusSnapshot StatusPublisher::Snapshot()
{
    TakeSample();
    double heaveRate = 0;
    double p2xRate = 0;
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    const double seconds = std::chrono::duration<double>(last.at - first.at).count();
    if (seconds > 0.5) {
        heaveRate = static_cast<double>(last.heave - first.heave) / seconds;
        p2xRate = static_cast<double>(last.p2x - first.p2x) / seconds;
    }
    DatabaseState database;
    std::string databaseError;
    {
        std::lock_guard<std::mutex> lock(m_database->mutex);
        database = m_database->state;
        databaseError = m_database->error;
    }
    const double uptime = std::chrono::duration<double>(Clock::now() - m_started).count();
    return TakeStatusSnapshot(heaveRate, p2xRate, database, databaseError, uptime);
}

void StatusPublisher::Run()
{
    // The first ones once the supervisor has had time to create the loggers
    // and the database has been checked.
    Clock::time_point nextNotify = Clock::now() + FirstReportAfter;
    Clock::time_point nextMetrics = Clock::now() + FirstReportAfter;
    Clock::time_point nextRates = Clock::now() + RatesLineEvery;
    while (!m_stop) {
        const Clock::time_point now = Clock::now();
        TakeSample();
        if (m_notify && now >= nextNotify) {
            sd_notifyf(0, "STATUS=%s", StatusLine(Snapshot()).c_str());
            nextNotify = now + NotifyEvery;
        }
        if (!m_metricsPath.empty() && now >= nextMetrics) {
            WriteMetricsFile();
            nextMetrics = now + MetricsEvery;
        }
        if (now >= nextRates) {
            LogRatesWhileLogging();
            nextRates = now + RatesLineEvery;
        }
        // Wakes at least once a second for the rates' samples.
        pollfd entries[2] = { { m_wake, POLLIN, 0 }, { m_listener, POLLIN, 0 } };
        const int ready = ::poll(entries, m_listener >= 0 ? 2 : 1, 1000);
        if (ready > 0 && (entries[1].revents & POLLIN) != 0 && !m_stop) {
            ServeClient();
        }
    }
}

void StatusPublisher::LogRatesWhileLogging()
{
    const StatusSnapshot status = Snapshot();
    if (status.heave.figures.loggingOn || status.p2x.figures.loggingOn) {
        LOG4CPLUS_INFO(ProcessLogger(), LOG4CPLUS_STRING_TO_TSTRING("Status: " + StatusLine(status)));
    }
}

void StatusPublisher::ServeClient()
{
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
        return;
    }
    // One line, bounded in length and time: a local client may mean harm too.
    std::string request;
    const Clock::time_point requestDeadline = Clock::now() + RequestTimeout;
    bool complete = false;
    while (!complete && request.size() <= RequestLineLimit) {
        char buffer[RequestLineLimit + 1];
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got > 0) {
            request.append(buffer, static_cast<std::size_t>(got));
            complete = request.find('\n') != std::string::npos;
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(client, POLLIN, requestDeadline)) {
                break;
            }
        } else {
            complete = !request.empty();  // the client closed its side after the line
            break;
        }
    }
    request = request.substr(0, request.find('\n'));
    if (!request.empty() && request.back() == '\r') {
        request.pop_back();
    }
    std::string answer;
    if (!complete || request.size() > RequestLineLimit) {
        answer = "error: send one line, \"status\" or \"status json\", within 1 s\n";
    } else if (request == "status") {
        const StatusSnapshot status = Snapshot();
        answer = "verdict " + std::to_string(StatusVerdict(status)) + "\n" + StatusText(status);
    } else if (request == "status json") {
        const StatusSnapshot status = Snapshot();
        answer = "verdict " + std::to_string(StatusVerdict(status)) + "\n" + StatusJson(status);
    } else {
        answer = "error: unknown request; send \"status\" or \"status json\"\n";
    }
    WriteAllBefore(client, answer, Clock::now() + AnswerTimeout);
    ::close(client);
}

void StatusPublisher::WriteMetricsFile()
{
    // A reader (the node exporter) sees the old file or the new one, never a
    // part: the new text goes to a file of its own in the same folder, reaches
    // the disk, and then takes the name.
    const std::string text = StatusMetrics(Snapshot());
    std::string temporary = m_metricsPath + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    bool written = fd >= 0;
    int error = errno;
    if (written) {
        written = ::fchmod(fd, 0644) == 0;  // the exporter runs as a user of its own
        std::size_t done = 0;
        while (written && done < text.size()) {
            const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            written = count > 0;
            done += written ? static_cast<std::size_t>(count) : 0;
        }
        written = written && ::fsync(fd) == 0;
        error = written ? 0 : errno;
        if (::close(fd) != 0 && written) {
            written = false;
            error = errno;
        }
        if (written && ::rename(temporary.c_str(), m_metricsPath.c_str()) != 0) {
            written = false;
            error = errno;
        }
        if (!written) {
            ::unlink(temporary.c_str());
        }
    }
    if (!written && !m_metricsFailing) {
        Say("Metrics file: cannot write " + m_metricsPath + ": " + std::strerror(error), true);
    } else if (written && m_metricsFailing) {
        Say("Metrics file: written again: " + m_metricsPath, false);
    }
    m_metricsFailing = !written;
}
