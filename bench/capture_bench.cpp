// Measures the whole QHVLogger process against the capture tools a survey
// engineer already trusts, on the same port and the same paced stream of 13-byte
// heave datagrams (sent with sendmmsg, so the sender outruns every receiver): a
// minimal receiver (one recvfrom and one write per datagram), the same with
// recvmmsg and one write per batch, tcpdump and socat. Per rate: sent, the rate
// reached, written, lost and CPU seconds per 10^5 datagrams; then the highest
// rate without loss, what kill -9 loses, resident memory over 10^6 datagrams,
// the P2X logger at rising sentence rates, and the delay from sending until the
// record is in the file at 200/s, for QHVLogger and both minimal receivers
// side by side in the same rounds. At the end one table holds them all.
//   capture_bench [--seconds S] [--rates R,R,...] [--p2x-rates R,...] [--latency-count N] [--no-peers]
// The process runs in the embedded default set-up of `make run`
// (tools/prepare-default.sh), in a folder of its own under /tmp.
#include "BenchSupport.h"

#include "platform/DatagramBatch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::FileSize;
using bench::HeaveBytes;
using bench::HeaveDatagram;
using bench::SendPaced;

// Waits until the file has stopped growing for half a second.
void Settle(const fs::path& file)
{
    bench::SettledSize(file);
}

constexpr std::uint16_t ControlPort = 5076;
constexpr std::uint16_t HeavePort = 31102;
constexpr std::uint16_t P2XPort = 31202;
// The minimal receivers' ports while the delay is measured beside QHVLogger.
constexpr std::uint16_t MinimalLatencyPort = 31110;
constexpr std::uint16_t BatchedLatencyPort = 31111;

struct Options {
    double seconds = 5;
    std::vector<long> rates { 1000, 10000, 100000, 200000, 400000, 700000, 1000000 };
    std::vector<long> p2xRates { 1000, 5000, 10000, 20000, 50000 };
    long latencyCount = 2000;
    bool peers = true;
};

std::vector<long> ParseRates(const std::string& text)
{
    std::vector<long> rates;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        rates.push_back(std::atol(item.c_str()));
    }
    return rates;
}

// ---- processes -------------------------------------------------------------

// A program started in the background with its output to a file.
class Process {
public:
    Process(const std::vector<std::string>& words, const fs::path& output)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<std::string> copy(words);
        std::vector<char*> argv;
        for (std::string& word : copy) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() { Kill(SIGKILL); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Alive() const { return m_pid > 0 && ::kill(m_pid, 0) == 0 && !m_ended; }

    // Signals the process and waits for its end (at most `bound`); its exit status or nothing.
    std::optional<int> Kill(int signal, std::chrono::seconds bound = std::chrono::seconds(20))
    {
        if (m_pid <= 0 || m_ended) {
            return m_status;
        }
        if (signal != 0) {
            ::kill(m_pid, signal);
        }
        return Wait(bound);
    }
    std::optional<int> Wait(std::chrono::seconds bound)
    {
        const auto deadline = Clock::now() + bound;
        while (!m_ended && Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_ended = true;
                m_status = status;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return m_status;
    }

    // CPU seconds so far, summed over the process's threads (the scheduler's
    // nanosecond account, finer than the tick counts of /proc/PID/stat).
    double CpuSeconds() const
    {
        double seconds = 0;
        std::error_code error;
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(m_pid) + "/task", error)) {
            std::ifstream in(task.path() / "schedstat");
            double nanoseconds = 0;
            if (in >> nanoseconds) {
                seconds += nanoseconds * 1e-9;
            }
        }
        return seconds;
    }

    // CPU seconds so far per thread name (threads of one name summed).
    std::map<std::string, double> CpuSecondsByThread() const
    {
        std::map<std::string, double> seconds;
        std::error_code error;
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(m_pid) + "/task", error)) {
            std::ifstream in(task.path() / "schedstat");
            std::ifstream comm(task.path() / "comm");
            std::string name;
            double nanoseconds = 0;
            if (std::getline(comm, name) && in >> nanoseconds) {
                seconds[name] += nanoseconds * 1e-9;
            }
        }
        return seconds;
    }

    // Resident memory in KiB.
    long ResidentKiB() const
    {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::atol(line.c_str() + 6);
            }
        }
        return 0;
    }

private:
    pid_t m_pid = -1;
    bool m_ended = false;
    std::optional<int> m_status;
};

std::string RunAndRead(const std::string& command)
{
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            text += buffer;
        }
        ::pclose(pipe);
    }
    return text;
}

std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound)
{
    const auto deadline = Clock::now() + bound;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// ---- UDP ---------------------------------------------------------------------

// Sends single datagrams at once (control sentences, the delay probe), or
// queues them for one sendmmsg per paced round (the rate sweeps).
class Sender {
public:
    Sender() : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)), m_batch(m_fd) {}
    ~Sender() { ::close(m_fd); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    void Send(std::uint16_t port, const void* bytes, std::size_t length) const
    {
        const sockaddr_in target = platform::Ipv4Destination("127.0.0.1", port);
        ::sendto(m_fd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    }
    void Send(std::uint16_t port, const std::string& text) const { Send(port, text.data(), text.size()); }

    void Queue(std::uint16_t port, const void* bytes, std::size_t length)
    {
        m_batch.Add(bytes, length, platform::Ipv4Destination("127.0.0.1", port));
    }
    void Flush() { m_batch.Flush(); }

private:
    int m_fd;
    platform::CDatagramBatch m_batch;
};

// Heave datagrams at `rate` to `port`, queued and sent with one sendmmsg per
// paced round; the seconds the sending took.
double SendHeave(Sender& sender, std::uint16_t port, long rate, long count, std::uint32_t epoch)
{
    HeaveDatagram datagram(epoch);
    return SendPaced(
        rate, count,
        [&](long i) {
            datagram.Number(i);
            sender.Queue(port, datagram.bytes, sizeof datagram.bytes);
        },
        [&] { sender.Flush(); });
}

// ---- figures -------------------------------------------------------------------

struct RateFigures {
    long rate = 0;
    long sent = 0;
    long written = 0;
    double cpuSeconds = 0;
    double sendSeconds = 0;
    long Lost() const { return sent - written; }
    long Reached() const { return sendSeconds > 0 ? static_cast<long>(static_cast<double>(sent) / sendSeconds) : 0; }
    double CpuPer100k() const { return sent > 0 ? cpuSeconds * 1e5 / static_cast<double>(sent) : 0; }
};

void PrintHeader(const char* title)
{
    std::printf("\n%s\n  %9s %10s %10s %10s %9s %14s\n", title, "rate/s", "reached/s", "sent", "written", "lost",
                "CPU s/10^5");
}

void PrintRow(const RateFigures& figures)
{
    std::printf("  %9ld %10ld %10ld %10ld %9ld %14.3f\n", figures.rate, figures.Reached(), figures.sent,
                figures.written, figures.Lost(), figures.CpuPer100k());
    std::fflush(stdout);
}

// The highest rate without loss, and its CPU seconds per 10^5.
struct Best {
    long rate = 0;
    double cpuPer100k = 0;
};

Best ZeroLoss(const std::vector<RateFigures>& rows)
{
    Best best;
    for (const RateFigures& row : rows) {
        if (row.Lost() == 0 && row.rate > best.rate) {
            best = { row.rate, row.CpuPer100k() };
        }
    }
    return best;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

// ---- the benchmark ----------------------------------------------------------------

class CaptureBench {
public:
    CaptureBench(fs::path source, fs::path bin, Options options)
        : m_source(std::move(source)), m_bin(std::move(bin)), m_options(std::move(options))
    {
        char pattern[] = "/tmp/qhv-capture-bench-XXXXXX";
        m_var = ::mkdtemp(pattern);
        const std::string prepare = Quoted((m_source / "tools/prepare-default.sh").string()) + " " + Quoted(m_var);
        if (std::system(prepare.c_str()) != 0) {
            throw std::runtime_error("prepare-default.sh failed");
        }
        LoadEnvironment(m_var / "env.sh");
    }
    ~CaptureBench()
    {
        std::error_code ignored;
        fs::remove_all(m_var, ignored);
    }

    void Run()
    {
        std::printf("capture_bench: %.1f s per rate, 13-byte heave datagrams over loopback sent with sendmmsg; "
                    "%u cores; set-up in %s\n",
                    m_options.seconds, std::thread::hardware_concurrency(), m_var.c_str());
        std::printf("machine load before: %s", RunAndRead("cat /proc/loadavg").c_str());

        StartLogger();
        m_table.push_back({ "QHVLogger", HeaveSweep() });
        MemoryOver(1000000);
        P2XSweep();
        KillNine(200);
        LatencyBesideMinimal(200);
        StopLogger();

        if (m_options.peers) {
            const auto minimalCount = [&](const fs::path& file) {
                return static_cast<long>(FileSize(file) / (HeaveBytes + 2));
            };
            m_table.push_back({ "minimal receiver",
                                PeerSweep("minimal receiver (recvfrom + write per datagram)",
                                          { (m_bin / "minimal_receiver").string(), std::to_string(HeavePort),
                                            "{FILE}" },
                                          minimalCount) });
            m_table.push_back({ "minimal, recvmmsg",
                                PeerSweep("minimal receiver with recvmmsg (64 a call, one write per batch)",
                                          { (m_bin / "minimal_receiver").string(), "--recvmmsg",
                                            std::to_string(HeavePort), "{FILE}" },
                                          minimalCount) });
            m_table.push_back({ "tcpdump -U --immediate",
                                PeerSweep("tcpdump -U --immediate-mode",
                                          { "tcpdump", "-i", "lo", "-U", "--immediate-mode", "-s", "128", "-w",
                                            "{FILE}", "udp", "port", std::to_string(HeavePort) },
                                          [&](const fs::path& file) { return PcapPackets(file); }) });
            m_table.push_back({ "socat",
                                PeerSweep("socat (bytes / 13)",
                                          { "socat", "-u",
                                            "UDP4-RECV:" + std::to_string(HeavePort) + ",rcvbuf=32000000",
                                            "OPEN:{FILE},creat" },
                                          [&](const fs::path& file) {
                                              return static_cast<long>(FileSize(file) / HeaveBytes);
                                          }) });
        }
        SideBySide();
        std::printf("\nmachine load after: %s", RunAndRead("cat /proc/loadavg").c_str());
    }

private:
    static void LoadEnvironment(const fs::path& envFile)
    {
        std::ifstream in(envFile);
        for (std::string line; std::getline(in, line);) {
            const std::string prefix = "export ";
            if (line.rfind(prefix, 0) != 0) {
                continue;
            }
            const std::size_t equals = line.find('=');
            std::string value = line.substr(equals + 1);
            value = value.substr(1, value.find('\'', 1) - 1);  // 'value'
            ::setenv(line.substr(prefix.size(), equals - prefix.size()).c_str(), value.c_str(), 1);
        }
    }

    fs::path DriveC(const std::string& rest) const { return m_var / "drive" / "c" / rest; }

    void StartLogger()
    {
        const fs::path log = m_var / "log" / "QHVLogger.log";
        fs::remove(log);
        m_logger = std::make_unique<Process>(
            std::vector<std::string> { (m_bin / "QHVLogger").string(), "-noconsole" }, m_var / "log" / "console.txt");
        WaitUntil([&] { return RunAndRead("grep -c 'UDP receive starting' " + Quoted(log) + " 2>/dev/null")
                                   .find_first_of("123") == 0; },
                  std::chrono::seconds(20));
        std::this_thread::sleep_for(std::chrono::seconds(1));  // both loggers have read their parameters
    }

    void StopLogger()
    {
        m_sender.Send(ControlPort, "$ZELIX,24,\n\r");
        const std::optional<int> status = m_logger->Wait(std::chrono::seconds(20));
        std::printf("\nQHVLogger ended by sentence 24: %s\n",
                    status && WIFEXITED(*status) ? ("exit code " + std::to_string(WEXITSTATUS(*status))).c_str()
                                                 : "did not end normally");
        m_logger.reset();
    }

    // A new heave file named after `epoch` in C:\bench.
    fs::path NewHeaveFile(std::uint32_t epoch)
    {
        m_sender.Send(ControlPort, "$ZELIX,170,C:\\bench,heave__TOKEPOCSEC_.qhv,600,\n\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return DriveC("bench/heave_" + std::to_string(epoch) + ".qhv");
    }

    long Count(const fs::path& file) const
    {
        return std::atol(RunAndRead(Quoted((m_bin / "qhvdump").string()) + " --count " + Quoted(file)).c_str());
    }

    std::vector<RateFigures> HeaveSweep()
    {
        PrintHeader("QHVLogger, heave logger (records counted with qhvdump)");
        std::vector<RateFigures> rows;
        for (const long rate : m_options.rates) {
            const std::uint32_t epoch = m_nextEpoch++;
            const fs::path file = NewHeaveFile(epoch);
            RateFigures row;
            row.rate = rate;
            row.sent = static_cast<long>(static_cast<double>(rate) * m_options.seconds);
            const double cpuStart = m_logger->CpuSeconds();
            const std::map<std::string, double> threadsStart = m_logger->CpuSecondsByThread();
            row.sendSeconds = SendHeave(m_sender, HeavePort, rate, row.sent, epoch);
            Settle(file);
            row.cpuSeconds = m_logger->CpuSeconds() - cpuStart;
            row.written = Count(file);
            PrintRow(row);
            PrintThreadShares(threadsStart, m_logger->CpuSecondsByThread(), row.sent);
            rows.push_back(row);
        }
        const Best best = ZeroLoss(rows);
        std::printf("  highest rate without loss: %ld/s\n", best.rate);
        return rows;
    }

    // Where the CPU of one rate went: the heave logger's I/O thread (receive and
    // queue) and input thread (jobs and file writes) apart, the rest together.
    static void PrintThreadShares(const std::map<std::string, double>& before,
                                  const std::map<std::string, double>& after, long datagrams)
    {
        double io = 0;
        double input = 0;
        double rest = 0;
        for (const auto& [name, seconds] : after) {
            const auto start = before.find(name);
            const double used = seconds - (start == before.end() ? 0 : start->second);
            if (name == "QHVLOGGER:io") {
                io += used;
            } else if (name == "QHVLOGGER:in") {
                input += used;
            } else {
                rest += used;
            }
        }
        const double perDatagram = datagrams > 0 ? 1e6 / static_cast<double>(datagrams) : 0;
        std::printf("  %9s us per datagram: I/O thread %.2f, input thread %.2f, all other threads %.2f\n", "",
                    io * perDatagram, input * perDatagram, rest * perDatagram);
    }

    void MemoryOver(long count)
    {
        const std::uint32_t epoch = m_nextEpoch++;
        const fs::path file = NewHeaveFile(epoch);
        const long before = m_logger->ResidentKiB();
        SendHeave(m_sender, HeavePort, 100000, count / 2, epoch);
        Settle(file);
        const long middle = m_logger->ResidentKiB();
        SendHeave(m_sender, HeavePort, 100000, count - count / 2, epoch);
        Settle(file);
        const long after = m_logger->ResidentKiB();
        std::printf("\nResident memory over %ld datagrams at 100000/s: %ld KiB before, %ld KiB half-way, %ld KiB "
                    "after (%+ld KiB over the second half); %ld written\n",
                    count, before, middle, after, after - middle, Count(file));
    }

    // A receiver whose delay until a record is in its file is measured.
    struct LatencyTarget {
        std::string name;
        std::uint16_t port;
        fs::path file;
        int watch = -1;
        std::vector<double> delaysUs;
    };

    // The time from sending a datagram until its record is in the file: the
    // kernel reports each write to the file (inotify), so nothing here spins.
    // QHVLogger and both minimal receivers, each on a port of its own, get one
    // datagram each per round, in turns (the first of a round changes from round
    // to round), so that all three see the same machine at the same time.
    void LatencyBesideMinimal(long rate)
    {
        const std::uint32_t epoch = m_nextEpoch++;
        const fs::path minimalFile = m_var / "latency-minimal.out";
        const fs::path batchedFile = m_var / "latency-recvmmsg.out";
        Process minimal({ (m_bin / "minimal_receiver").string(), std::to_string(MinimalLatencyPort),
                          minimalFile.string() },
                        m_var / "log" / "peers.txt");
        Process batched({ (m_bin / "minimal_receiver").string(), "--recvmmsg", std::to_string(BatchedLatencyPort),
                          batchedFile.string() },
                        m_var / "log" / "peers.txt");
        std::vector<LatencyTarget> targets { { "QHVLogger", HeavePort, NewHeaveFile(epoch), -1, {} },
                                             { "minimal receiver", MinimalLatencyPort, minimalFile, -1, {} },
                                             { "minimal, recvmmsg", BatchedLatencyPort, batchedFile, -1, {} } };
        HeaveDatagram datagram(epoch);
        for (LatencyTarget& target : targets) {
            // The first datagram opens QHVLogger's file; the others show the receivers listen.
            if (!WaitUntil([&] {
                    m_sender.Send(target.port, datagram.bytes, sizeof datagram.bytes);
                    return FileSize(target.file) > 0;
                }, std::chrono::seconds(5))) {
                std::printf("\nDelay until a datagram is in the file: %s wrote nothing\n", target.name.c_str());
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (LatencyTarget& target : targets) {
            target.watch = ::inotify_init1(IN_CLOEXEC);
            ::inotify_add_watch(target.watch, target.file.c_str(), IN_MODIFY);
        }
        const long count = m_options.latencyCount;
        const auto period = std::chrono::nanoseconds(1000000000L / rate);
        auto next = Clock::now();
        char events[4096];
        for (long i = 1; i <= count; ++i) {
            datagram.Number(i);
            for (std::size_t k = 0; k < targets.size(); ++k) {
                LatencyTarget& target = targets[(static_cast<std::size_t>(i) + k) % targets.size()];
                const auto sent = Clock::now();
                m_sender.Send(target.port, datagram.bytes, sizeof datagram.bytes);
                pollfd entry { target.watch, POLLIN, 0 };
                if (::poll(&entry, 1, 1000) == 1 && ::read(target.watch, events, sizeof events) > 0) {
                    target.delaysUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
                }
            }
            next += period;
            std::this_thread::sleep_until(next);
        }
        std::printf("\nDelay until a datagram is in the file, %ld datagrams at %ld/s to each, in turns:\n", count,
                    rate);
        for (LatencyTarget& target : targets) {
            ::close(target.watch);
            LatencyFigures figures { Percentile(target.delaysUs, 0.5), Percentile(target.delaysUs, 0.99),
                                     Percentile(target.delaysUs, 1.0), target.delaysUs.size() };
            std::printf("  %-20s median %6.0f us, 99th percentile %6.0f us, largest %6.0f us (%zu seen)\n",
                        target.name.c_str(), figures.median, figures.p99, figures.largest, figures.seen);
            m_latency.push_back({ target.name, figures });
        }
        minimal.Kill(SIGKILL);
        batched.Kill(SIGKILL);
    }

    void P2XSweep()
    {
        PrintHeader("QHVLogger, P2X logger ($PQRV sentences, each with a key of its own, so each is written)");
        std::vector<RateFigures> rows;
        for (const long rate : m_options.p2xRates) {
            const std::string name = "p2x_" + std::to_string(rate) + ".p2x";
            m_sender.Send(ControlPort, "$ZELIX,173,C:\\bench," + name + ",30,\n\r");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const fs::path file = DriveC("bench/" + name);
            RateFigures row;
            row.rate = rate;
            row.sent = static_cast<long>(static_cast<double>(rate) * m_options.seconds);
            const double cpuStart = m_logger->CpuSeconds();
            char sentence[64];
            row.sendSeconds = SendPaced(
                rate, row.sent,
                [&](long i) {
                    const int length = std::snprintf(sentence, sizeof sentence, "$PQRV,25,%ld,%ld,BENCH*00\r\n",
                                                     m_nextKey + i, rate);
                    m_sender.Queue(P2XPort, sentence, static_cast<std::size_t>(length));
                },
                [&] { m_sender.Flush(); });
            m_nextKey += row.sent;
            Settle(file);
            row.cpuSeconds = m_logger->CpuSeconds() - cpuStart;
            row.written = Count(file);
            PrintRow(row);
            rows.push_back(row);
        }
        std::printf("  highest rate without loss: %ld/s\n", ZeroLoss(rows).rate);
        m_sender.Send(ControlPort, "$ZELIX,174,\n\r");
    }

    // kill -9 while heave datagrams arrive at `rate`: what was sent before the
    // kill and is not in the file. The process is started again afterwards.
    void KillNine(long rate)
    {
        const std::uint32_t epoch = m_nextEpoch++;
        const fs::path file = NewHeaveFile(epoch);
        const long count = rate * 2;
        SendHeave(m_sender, HeavePort, rate, count, epoch);
        // The kill comes once the logger has taken the last datagram from its
        // socket, not while that datagram is still on its way: what it took
        // and did not write is what a kill loses.
        const bool taken = WaitUntil([] { return SocketQueueBytes(HeavePort) == 0; }, std::chrono::seconds(2));
        m_logger->Kill(SIGKILL);
        const long written = Count(file);
        const std::string check = RunAndRead(Quoted((m_bin / "qhvdump").string()) + " --check " + Quoted(file));
        std::printf("\nkill -9 right after %ld datagrams at %ld/s%s: %ld in the file, %ld lost; qhvdump --check: %s",
                    count, rate, taken ? " had left the socket" : " (some still in the socket)", written,
                    count - written, check.c_str());
        StartLogger();
    }

    // Bytes waiting in the receive queue of the UDP socket bound to `port`
    // (/proc/net/udp of this network namespace); 0 when there is none.
    static long SocketQueueBytes(std::uint16_t port)
    {
        std::ifstream table("/proc/net/udp");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            const std::size_t colon = local.find(':');
            if (colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port) {
                return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
            }
        }
        return 0;
    }

    // A capture tool started anew, fed the same sweep on the same port.
    std::vector<RateFigures> PeerSweep(const char* name, const std::vector<std::string>& words,
                                       const std::function<long(const fs::path&)>& count)
    {
        PrintHeader(name);
        const fs::path file = m_var / ("peer-" + std::to_string(m_nextPeer++) + ".out");
        std::vector<std::string> command;
        for (const std::string& word : words) {
            const std::size_t at = word.find("{FILE}");
            command.push_back(at == std::string::npos ? word : word.substr(0, at) + file.string() + word.substr(at + 6));
        }
        Process peer(command, m_var / "log" / "peers.txt");
        std::this_thread::sleep_for(std::chrono::seconds(1));  // bound and listening
        if (!peer.Alive()) {
            std::printf("  %s did not start (see %s)\n", command[0].c_str(), (m_var / "log" / "peers.txt").c_str());
            return {};
        }
        std::vector<RateFigures> rows;
        long before = 0;
        for (const long rate : m_options.rates) {
            RateFigures row;
            row.rate = rate;
            row.sent = static_cast<long>(static_cast<double>(rate) * m_options.seconds);
            const double cpuStart = peer.CpuSeconds();
            row.sendSeconds = SendHeave(m_sender, HeavePort, rate, row.sent, 1765000000);
            Settle(file);
            row.cpuSeconds = peer.CpuSeconds() - cpuStart;
            const long total = count(file);
            row.written = total - before;
            before = total;
            PrintRow(row);
            rows.push_back(row);
        }
        peer.Kill(SIGINT, std::chrono::seconds(5));
        std::printf("  highest rate without loss: %ld/s\n", ZeroLoss(rows).rate);
        return rows;
    }

    // Packets in a pcap file: a 24-byte file header, then a 16-byte header
    // with the captured length before each packet.
    static long PcapPackets(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        in.seekg(24);
        long packets = 0;
        unsigned char header[16];
        while (in.read(reinterpret_cast<char*>(header), sizeof header)) {
            std::uint32_t captured = 0;
            std::memcpy(&captured, header + 8, 4);
            if (!in.seekg(captured, std::ios::cur)) {
                break;
            }
            ++packets;
        }
        return packets;
    }

    // CPU microseconds per datagram at `rate`, or a dash when not measured.
    static std::string CpuAt(const std::vector<RateFigures>& rows, long rate)
    {
        for (const RateFigures& row : rows) {
            if (row.rate == rate) {
                char text[32];
                std::snprintf(text, sizeof text, "%.2f%s", row.CpuPer100k() * 10, row.Lost() > 0 ? "*" : "");
                return text;
            }
        }
        return "-";
    }

    void SideBySide() const
    {
        const long top = m_options.rates.empty() ? 0 : m_options.rates.back();
        std::printf("\nSide by side, one run (CPU us per datagram; * = lost some at that rate; top = the last rate "
                    "asked for, with the rate the sender reached):\n");
        std::printf("  %-24s %8s %8s %8s %18s %14s\n", "", "1k/s", "10k/s", "100k/s", "top", "zero-loss/s");
        for (const TableRow& row : m_table) {
            long reached = 0;
            for (const RateFigures& figures : row.rates) {
                reached = figures.rate == top ? figures.Reached() : reached;
            }
            char topText[48];
            std::snprintf(topText, sizeof topText, "%s @%ld/s", CpuAt(row.rates, top).c_str(), reached);
            std::printf("  %-24s %8s %8s %8s %18s %14ld\n", row.name.c_str(), CpuAt(row.rates, 1000).c_str(),
                        CpuAt(row.rates, 10000).c_str(), CpuAt(row.rates, 100000).c_str(), topText,
                        ZeroLoss(row.rates).rate);
        }
        const auto ratio = [](double ours, double theirs) { return theirs > 0 ? ours / theirs : 0.0; };
        const TableRow* ours = m_table.empty() ? nullptr : &m_table.front();
        for (const TableRow& row : m_table) {
            if (ours == nullptr || &row == ours || row.rates.empty()) {
                continue;
            }
            std::printf("  QHVLogger / %-22s CPU ratio", row.name.c_str());
            for (const long rate : { 1000L, 10000L, 100000L, top }) {
                double own = 0;
                double peer = 0;
                for (const RateFigures& figures : ours->rates) {
                    own = figures.rate == rate ? figures.CpuPer100k() : own;
                }
                for (const RateFigures& figures : row.rates) {
                    peer = figures.rate == rate ? figures.CpuPer100k() : peer;
                }
                std::printf(" %6.2f", ratio(own, peer));
            }
            std::printf("\n");
        }
        if (!m_latency.empty()) {
            std::printf("\n  Send-to-file at 200/s   %10s %10s %10s   (ratio to the minimal receiver)\n", "median",
                        "p99", "largest");
            const LatencyFigures* minimal = nullptr;
            for (const auto& [name, figures] : m_latency) {
                minimal = name == "minimal receiver" ? &figures : minimal;
            }
            for (const auto& [name, figures] : m_latency) {
                std::printf("  %-22s %9.0fus %9.0fus %9.0fus", name.c_str(), figures.median, figures.p99,
                            figures.largest);
                if (minimal != nullptr) {
                    std::printf("   %.2f / %.2f / %.2f", ratio(figures.median, minimal->median),
                                ratio(figures.p99, minimal->p99), ratio(figures.largest, minimal->largest));
                }
                std::printf("\n");
            }
        }
    }

    struct TableRow {
        std::string name;
        std::vector<RateFigures> rates;
    };
    struct LatencyFigures {
        double median;
        double p99;
        double largest;
        std::size_t seen;
    };

    fs::path m_source;
    fs::path m_bin;
    Options m_options;
    fs::path m_var;
    Sender m_sender;
    std::unique_ptr<Process> m_logger;
    std::uint32_t m_nextEpoch = 1765000000;
    long m_nextKey = 1;
    int m_nextPeer = 0;
    std::vector<TableRow> m_table;
    std::vector<std::pair<std::string, LatencyFigures>> m_latency;
};

}  // namespace

int main(int argc, char* argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == "--seconds" && hasValue) {
            options.seconds = std::atof(argv[++i]);
        } else if (word == "--rates" && hasValue) {
            options.rates = ParseRates(argv[++i]);
        } else if (word == "--p2x-rates" && hasValue) {
            options.p2xRates = ParseRates(argv[++i]);
        } else if (word == "--latency-count" && hasValue) {
            options.latencyCount = std::max(1L, std::atol(argv[++i]));
        } else if (word == "--no-peers") {
            options.peers = false;
        } else {
            std::fprintf(stderr,
                         "usage: capture_bench [--seconds S] [--rates R,R,...] [--p2x-rates R,...] [--latency-count N] "
                         "[--no-peers]\n");
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
    try {
        CaptureBench bench(QHV_SOURCE_DIR, bin, options);
        bench.Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "capture_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
