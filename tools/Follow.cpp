#include "Follow.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace qhvdump {

namespace {

namespace fs = std::filesystem;

void Out(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void Note(const std::string& path, const std::string& problem)
{
    std::fflush(stdout);
    std::fprintf(stderr, "qhvdump: %s: %s\n", path.c_str(), problem.c_str());
}

std::string SystemError(const std::string& what, const std::string& path)
{
    return "cannot " + what + " \"" + path + "\": " + std::strerror(errno);
}

// A descriptor closed with its owner.
class CDescriptor {
public:
    explicit CDescriptor(int fd = -1) : m_fd(fd) {}
    ~CDescriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// The file a name stands for now: a rotation or a move aside puts another
// file under the same name, so files are told apart by device and inode.
struct FileIdentity {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

std::optional<FileIdentity> IdentityOf(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FileIdentity { path, status.st_dev, status.st_ino };
}

// The newest .qhv or .p2x file (of `kind` when given) in `folder`: the latest
// modification, the greater name on a tie.
std::optional<FileIdentity> NewestIn(const std::string& folder, std::optional<FileKind> kind)
{
    std::optional<FileIdentity> newest;
    struct timespec newestTime {};
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::string path = entry->path().string();
        const std::optional<FileKind> found = KindByExtension(path);
        if (!found || (kind && *found != *kind)) {
            continue;
        }
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        const struct timespec time = status.st_mtim;
        const bool later = !newest || time.tv_sec > newestTime.tv_sec ||
                           (time.tv_sec == newestTime.tv_sec &&
                            (time.tv_nsec > newestTime.tv_nsec ||
                             (time.tv_nsec == newestTime.tv_nsec && path > newest->path)));
        if (later) {
            newest = FileIdentity { path, status.st_dev, status.st_ino };
            newestTime = time;
        }
    }
    return newest;
}

// A file the logger is writing: whatever was appended since the last read is
// taken, and only whole records (a length, then that many bytes) or whole lines
// (ended by "\n") come out; a part of one waits for the rest.
class CGrowingFile {
public:
    CGrowingFile(FileIdentity identity, FileKind kind, int fd)
        : m_identity(std::move(identity)), m_kind(kind), m_fd(fd)
    {
    }

    const FileIdentity& Identity() const { return m_identity; }
    FileKind Kind() const { return m_kind; }
    std::uint64_t Whole() const { return m_whole; }

    // Reads to the current end; the text of each new whole record or line is
    // appended to `text` when given. Returns how many came.
    std::uint64_t ReadNew(std::string* text)
    {
        const std::uint64_t before = m_whole;
        char chunk[64 * 1024];
        for (;;) {
            const ssize_t length = ::read(m_fd.Get(), chunk, sizeof chunk);
            if (length < 0 && errno == EINTR) {
                continue;
            }
            if (length < 0) {
                throw std::runtime_error(SystemError("read", m_identity.path));
            }
            if (length == 0) {
                break;
            }
            if (!m_stopped) {
                m_pending.append(chunk, static_cast<std::size_t>(length));
                m_kind == FileKind::Qhv ? TakeRecords(text) : TakeLines(text);
            }
        }
        return m_whole - before;
    }

    // What is left of a record or line that was never finished; empty when the
    // file ends after a whole one.
    std::string Unfinished() const
    {
        if (m_pending.empty() || m_stopped) {
            return {};
        }
        const std::string where = " at offset " + std::to_string(m_pendingOffset) + ": ";
        if (m_kind == FileKind::P2x) {
            return "torn line " + std::to_string(m_whole + 1) + where + std::to_string(m_pending.size()) +
                   " bytes without a line end";
        }
        return "torn record " + std::to_string(m_whole) + where + std::to_string(m_pending.size()) +
               " bytes of its length and data";
    }

private:
    void TakeRecords(std::string* text)
    {
        std::size_t at = 0;
        while (m_pending.size() - at >= 2) {
            const auto* field = reinterpret_cast<const unsigned char*>(m_pending.data() + at);
            const std::size_t length = std::size_t { field[0] } | std::size_t { field[1] } << 8;
            if (m_pending.size() - at < 2 + length) {
                break;
            }
            if (text != nullptr) {
                *text += RecordText(m_whole, std::string_view(m_pending).substr(at + 2, length), m_utc);
            }
            ++m_whole;
            at += 2 + length;
        }
        Consume(at);
    }

    void TakeLines(std::string* text)
    {
        std::size_t at = 0;
        for (;;) {
            const std::size_t end = m_pending.find('\n', at);
            if (end == std::string::npos) {
                break;
            }
            if (text != nullptr) {
                *text += LineText(m_whole + 1, std::string_view(m_pending).substr(at, end - at));
            }
            ++m_whole;
            at = end + 1;
        }
        Consume(at);
        // A logger's line is one datagram: a longer one means this is no file
        // of a logger's, and following it stops.
        if (m_pending.size() > CLineReader::MaxLineLength) {
            Note(m_identity.path, "overlong line " + std::to_string(m_whole + 1) + " at offset " +
                                      std::to_string(m_pendingOffset) + ": more than " +
                                      std::to_string(CLineReader::MaxLineLength) +
                                      " bytes without a line end; following it stops");
            m_stopped = true;
            m_pending.clear();
        }
    }

    void Consume(std::size_t count)
    {
        m_pending.erase(0, count);
        m_pendingOffset += count;
    }

    FileIdentity m_identity;
    FileKind m_kind;
    CDescriptor m_fd;
    std::string m_pending;           // bytes of a record or line not yet whole
    std::uint64_t m_pendingOffset = 0;
    std::uint64_t m_whole = 0;       // whole records or lines so far
    bool m_stopped = false;
    CUtcCache m_utc;
};

// SIGINT and SIGTERM as a readable descriptor: they end the loop, not the process.
int QuitSignals()
{
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &quit, nullptr) != 0) {
        throw std::runtime_error(std::string("cannot block SIGINT and SIGTERM: ") + std::strerror(errno));
    }
    const int fd = ::signalfd(-1, &quit, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot take SIGINT and SIGTERM: ") + std::strerror(errno));
    }
    return fd;
}

// A tick every `period`: the rate line, and a look at the folder even when no
// change was reported (a folder on a network share reports none).
int Ticker(std::chrono::milliseconds period)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot make a timer: ") + std::strerror(errno));
    }
    struct itimerspec every {};
    every.it_interval.tv_sec = period.count() / 1000;
    every.it_interval.tv_nsec = (period.count() % 1000) * 1000000;
    every.it_value = every.it_interval;
    ::timerfd_settime(fd, 0, &every, nullptr);
    return fd;
}

void Drain(int fd)
{
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

class CFollower {
public:
    explicit CFollower(const FollowOptions& options)
        : m_options(options), m_isFolder(fs::is_directory(options.path)),
          m_watched(m_isFolder ? options.path : fs::path(options.path).parent_path().string())
    {
        if (m_watched.empty()) {
            m_watched = ".";
        }
    }

    int Run()
    {
        const CDescriptor quit(QuitSignals());
        const CDescriptor changes(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        bool watching = changes.Get() >= 0 &&
                        ::inotify_add_watch(changes.Get(), m_watched.c_str(),
                                            IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM |
                                                IN_DELETE | IN_ATTRIB) >= 0;
        if (!watching && !fs::is_directory(m_watched)) {
            throw std::runtime_error(SystemError("watch", m_watched));
        }
        if (!watching) {
            Note(m_watched, std::string("no change notification (") + std::strerror(errno) +
                                "); looking every 200 ms");
        }
        // Without notification the tick is the only sign of new data: it comes more often.
        const CDescriptor tick(Ticker(std::chrono::milliseconds(watching || m_options.summary ? 1000 : 200)));
        if (!m_isFolder && !IdentityOf(m_options.path)) {
            Note(m_options.path, "not there yet; waiting for it");
        }

        Look(true);
        m_counted = 0;  // what was there before the start is no rate
        m_lastTick = std::chrono::steady_clock::now();
        for (;;) {
            struct pollfd waits[3] = { { quit.Get(), POLLIN, 0 }, { tick.Get(), POLLIN, 0 },
                                       { watching ? changes.Get() : -1, POLLIN, 0 } };
            if (::poll(waits, 3, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
            }
            if (waits[0].revents != 0) {
                Look(false);
                std::fflush(stdout);
                return 0;
            }
            bool folderChanged = false;
            if (waits[2].revents != 0) {
                folderChanged = ReadChanges(changes.Get());
            }
            const bool ticked = waits[1].revents != 0;
            if (ticked) {
                Drain(tick.Get());
            }
            Look(folderChanged || ticked);
            if (ticked && m_options.summary) {
                PrintRate();
            }
            std::fflush(stdout);
        }
    }

private:
    // Whether a file came, went or was renamed in the folder.
    static bool ReadChanges(int fd)
    {
        alignas(struct inotify_event) char buffer[16 * 1024];
        bool folderChanged = false;
        ssize_t length = 0;
        while ((length = ::read(fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
                folderChanged = folderChanged ||
                                (event->mask & (IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_Q_OVERFLOW));
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
        return folderChanged;
    }

    // Takes what the file followed got; with `lookForNewer` also whether
    // another file took its place, which is then followed from its start once
    // the old one has been read to its end.
    void Look(bool lookForNewer)
    {
        Take();
        if (!lookForNewer) {
            return;
        }
        const std::optional<FileIdentity> target =
            m_isFolder ? NewestIn(m_options.path, m_options.kind) : IdentityOf(m_options.path);
        if (!target || (m_file && m_file->Identity().device == target->device &&
                        m_file->Identity().inode == target->inode)) {
            return;
        }
        const int fd = ::open(target->path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;  // gone again at once: the next look finds what took its place
        }
        if (m_file) {
            Take();  // the logger closed it before opening the next one: this is all of it
            const std::string unfinished = m_file->Unfinished();
            if (!unfinished.empty()) {
                Note(m_file->Identity().path, unfinished);
            }
        }
        const FileKind kind = m_options.kind ? *m_options.kind : *KindByExtension(target->path);
        m_file = std::make_unique<CGrowingFile>(*target, kind, fd);
        if (!m_options.summary) {
            Out("==> " + target->path + " <==\n");
        }
        Take();
    }

    void Take()
    {
        if (!m_file) {
            return;
        }
        std::string text;
        m_counted += m_file->ReadNew(m_options.summary ? nullptr : &text);
        Out(text);
    }

    // "2026-12-08 09:17:47  200.0 records/s  heave_20261208.qhv  1234567 records"
    void PrintRate()
    {
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - m_lastTick).count();
        m_lastTick = now;
        const bool lines = m_file && m_file->Kind() == FileKind::P2x;
        const std::string name = m_file ? fs::path(m_file->Identity().path).filename().string() : "-";
        char rate[64];
        std::snprintf(rate, sizeof rate, "%.1f", seconds > 0 ? static_cast<double>(m_counted) / seconds : 0.0);
        m_counted = 0;
        const std::uint64_t whole = m_file ? m_file->Whole() : 0;
        const char* unit = lines ? (whole == 1 ? " line\n" : " lines\n") : (whole == 1 ? " record\n" : " records\n");
        Out(UtcText(static_cast<std::uint32_t>(std::time(nullptr))) + "  " + rate +
            (lines ? " lines/s  " : " records/s  ") + name + "  " + std::to_string(whole) + unit);
    }

    const FollowOptions& m_options;
    const bool m_isFolder;
    std::string m_watched;
    std::unique_ptr<CGrowingFile> m_file;
    std::uint64_t m_counted = 0;  // records or lines since the last rate line
    std::chrono::steady_clock::time_point m_lastTick;
};

}  // namespace

int Follow(const FollowOptions& options)
{
    return CFollower(options).Run();
}

}  // namespace qhvdump
