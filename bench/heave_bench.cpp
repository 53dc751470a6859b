// Sends 13-byte heave datagrams to a running heave logger at rising paced rates
// and prints, per rate, datagrams sent, records written, lost, and the logger's
// CPU time per datagram; then the same stream to a minimal receiver (one recvfrom
// and one write of length + bytes per datagram) for comparison.
//   heave_bench [seconds per rate] [rates...]
// The logger runs in this process against a demo system database under a
// temporary drive root, with no trace (as in production).
#include "BenchSupport.h"
#include "QHVLogger/QHVControl.h"
#include "formats/LogRecords.h"
#include "net/ControlSentence.h"
#include "testsupport/DemoDatabase.h"
#include "tokens/GetToken.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t DatagramBytes = bench::HeaveBytes;
constexpr std::size_t RecordBytes = formats::QhvLengthFieldSize + DatagramBytes;

double CpuSeconds(clockid_t clock)
{
    timespec now {};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() { return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }
double ThisThreadCpuSeconds() { return CpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Sends `count` heave datagrams with `epoch` to `port` at `rate` per second.
void SendPaced(std::uint16_t port, long rate, long count, std::uint32_t epoch)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in target = Loopback(port);
    bench::HeaveDatagram datagram(epoch);
    bench::SendPaced(rate, count, [&](long i) {
        datagram.Number(i);
        ::sendto(fd, datagram.bytes, sizeof datagram.bytes, 0, reinterpret_cast<const sockaddr*>(&target),
                 sizeof target);
    });
    ::close(fd);
}

struct RunFigures {
    long sent = 0;
    long written = 0;
    double cpuSeconds = 0;  // of the receiving side
};

void Print(const char* who, long rate, const RunFigures& figures)
{
    const double perDatagramUs = figures.sent > 0 ? figures.cpuSeconds * 1e6 / static_cast<double>(figures.sent) : 0;
    std::printf("%-16s %8ld/s  sent %9ld  written %9ld  lost %7ld  CPU %6.2f us/datagram\n", who, rate, figures.sent,
                figures.written, figures.sent - figures.written, perDatagramUs);
    std::fflush(stdout);
}

// The heave logger in this process, logging into a folder of the drive root.
class LoggerUnderTest {
public:
    explicit LoggerUnderTest(const fs::path& root)
        : m_database(root), m_programData("ProgramData", "C:\\ProgramData"), m_port(FreePort())
    {
        const fs::path config = root / "c" / "ProgramData" / "Valdrena Marine" / "ntrx";
        testsupport::WriteFile(config / "TRXTokens.json",
                               R"({ "lastsave": "20260101_000000", "tokens": [ )"
                               R"({ "Name": "RUNT_PARAM_QHV_LOG_SOURCE_PORT", "Descr": "", "Type": 2, "Value": ")" +
                                   std::to_string(m_port) + R"(" } ], "version": "1" })");
        m_tokens = std::make_unique<CGetToken>();
        m_logger = std::make_unique<CQHVControl>("QHVLogger", nullptr, 0, *m_tokens);
        m_logger->Start(0);
        Command("$ZELIX,6,\n\r");
    }

    // Starts a new file named after `epoch`.
    void NewFile() { Command("$ZELIX,170,C:\\bench,heave__TOKEPOCSEC_.qhv,600,\n\r"); }
    fs::path File(const fs::path& root, std::uint32_t epoch) const
    {
        return root / "c" / "bench" / ("heave_" + std::to_string(epoch) + ".qhv");
    }
    std::uint16_t Port() const { return m_port; }

private:
    void Command(const std::string& sentence)
    {
        PutControlSignal(sentence.data(), sentence.size(), m_logger.get());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    testsupport::DemoDatabase m_database;
    testsupport::ScopedEnv m_programData;
    std::uint16_t m_port;
    std::unique_ptr<CGetToken> m_tokens;
    std::unique_ptr<CQHVControl> m_logger;
};

RunFigures RunLogger(LoggerUnderTest& logger, const fs::path& root, long rate, long count, std::uint32_t epoch)
{
    logger.NewFile();
    // Everything but this thread (which sends and watches the file) is the logger's.
    const double processStart = ProcessCpuSeconds();
    const double mainStart = ThisThreadCpuSeconds();
    SendPaced(logger.Port(), rate, count, epoch);
    const std::uintmax_t size = bench::SettledSize(logger.File(root, epoch));
    RunFigures figures;
    figures.sent = count;
    figures.written = static_cast<long>(size / RecordBytes);
    figures.cpuSeconds = (ProcessCpuSeconds() - processStart) - (ThisThreadCpuSeconds() - mainStart);
    return figures;
}

// One recvfrom and one write of length + bytes per datagram, in a thread of its own.
class MinimalReceiver {
public:
    explicit MinimalReceiver(const fs::path& file)
        : m_socket(::socket(AF_INET, SOCK_DGRAM, 0)),
          m_file(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)),
          m_path(file)
    {
        const int bufferBytes = 32000000;
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes);
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
        timeval timeout { 0, 100000 };
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address = Loopback(0);
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~MinimalReceiver()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_socket);
        ::close(m_file);
    }
    std::uint16_t Port() const { return m_port; }
    double CpuSeconds()
    {
        clockid_t clock {};
        pthread_getcpuclockid(m_thread.native_handle(), &clock);
        return ::CpuSeconds(clock);
    }
    const fs::path& Path() const { return m_path; }

private:
    void Run()
    {
        unsigned char buffer[2 + 65535];
        while (!m_stop) {
            const ssize_t length = ::recvfrom(m_socket, buffer + 2, sizeof buffer - 2, 0, nullptr, nullptr);
            if (length > 0) {
                buffer[0] = static_cast<unsigned char>(length & 0xFF);
                buffer[1] = static_cast<unsigned char>(length >> 8);
                if (::write(m_file, buffer, static_cast<std::size_t>(length) + 2) < 0) {
                    std::perror("minimal receiver write");
                }
            }
        }
    }

    int m_socket;
    int m_file;
    fs::path m_path;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

RunFigures RunMinimal(const fs::path& root, long rate, long count)
{
    MinimalReceiver receiver(root / "minimal.bin");
    const double cpuStart = receiver.CpuSeconds();
    SendPaced(receiver.Port(), rate, count, 1765000000);
    const std::uintmax_t size = bench::SettledSize(receiver.Path());
    RunFigures figures;
    figures.sent = count;
    figures.written = static_cast<long>(size / RecordBytes);
    figures.cpuSeconds = receiver.CpuSeconds() - cpuStart;
    return figures;
}

}  // namespace

int main(int argc, char* argv[])
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    std::vector<long> rates;
    for (int i = 2; i < argc; ++i) {
        rates.push_back(std::atol(argv[i]));
    }
    if (rates.empty()) {
        rates = { 1000, 5000, 10000, 20000, 50000, 100000 };
    }

    char pattern[] = "/tmp/qhv-heave-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    std::printf("heave_bench: %.1f s per rate, 13-byte datagrams over loopback, files under %s\n", seconds,
                root.c_str());
    {
        LoggerUnderTest logger(root);
        std::uint32_t epoch = 1765000000;
        for (const long rate : rates) {
            const long count = static_cast<long>(static_cast<double>(rate) * seconds);
            Print("heave logger", rate, RunLogger(logger, root, rate, count, epoch));
            Print("minimal receiver", rate, RunMinimal(root, rate, count));
            epoch += 1000;
        }
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
