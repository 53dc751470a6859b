// The real process killed with SIGKILL at random moments while both loggers
// write, and started again each time. After every kill qhvdump must find every
// .qhv and .p2x file whole (--check), the records and lines counted (--count)
// must have grown, never shrunk, and every file of an earlier life must still be
// there with all its bytes, where it was or moved aside under another name.
// QHV_CRASH_SEED repeats a run; the seed is printed.
#include "testsupport/ChildProcess.h"
#include "testsupport/DemoDatabase.h"
#include "testsupport/TestUtils.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;
namespace fs = std::filesystem;

namespace {

constexpr int Kills = 24;
const std::string HeaveStart = "$ZELIX,170,C:\\survey\\qhv,crash.qhv,30,\n\r";

// A 13-byte heave datagram: 0xAA 'R', the time, and in bytes 6 to 9 the
// sequence number, so every datagram is unique.
std::string Heave(std::uint32_t sequence)
{
    std::string bytes(13, '\0');
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    bytes[0] = '\xAA';
    bytes[1] = 'R';
    for (int i = 0; i < 4; ++i) {
        bytes[2 + i] = static_cast<char>(now >> (24 - 8 * i));
        bytes[6 + i] = static_cast<char>(sequence >> (24 - 8 * i));
    }
    return bytes;
}

// The sensor, from a thread of its own for the whole test: about 900 heave
// datagrams a second and 50 $PQRV sentences, four in turn, whose configuration
// changes every two seconds. Only 13-byte datagrams: among 52-byte ones the
// logger drops them.
class SensorFeed {
public:
    SensorFeed() : m_thread([this] { Run(); }) {}
    ~SensorFeed()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void Run()
    {
        const UdpSocket socket;
        const char* const sentences[] = { "$PQRV,25,1,LEVER,0.120,-0.350,1.875", "$PQRV,25,2,LEVER,0,0,-2.4",
                                          "$PQRV,26,1,HEAVEFILTER,18.0,0.70", "$PQRV,27,QRV-200,FW2.14,CFG" };
        for (std::uint32_t n = 0; !m_stop; ++n) {
            socket.SendTo(31102, Heave(n));
            if (n % 18 == 0) {
                const std::uint32_t k = n / 18;
                socket.SendTo(31202, sentences[k % 4] + std::string(k % 4 == 3 ? std::to_string(k / 100) : "") +
                                         "*00\r\n");
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

struct Dumped {
    int exitCode;
    std::string out;
};

Dumped Dump(std::vector<std::string> arguments)
{
    ChildProcess child(QHVDUMP_BINARY, arguments);
    const std::optional<int> code = child.ExitCode();
    return { code.value_or(-2), child.Out() + child.Err() };
}

class CrashFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::WriteFile(m_database.databaseFile().parent_path() / "log4cplus_configureQHV.ini",
                               "log4cplus.rootLogger=INFO, process\n"
                               "log4cplus.appender.process=log4cplus::FileAppender\n"
                               "log4cplus.appender.process.File=" + (m_root.path() / "process.log").string() + "\n"
                               "log4cplus.appender.process.layout=log4cplus::PatternLayout\n"
                               "log4cplus.appender.process.layout.ConversionPattern=%m%n\n");
    }

    std::unique_ptr<ChildProcess> Start()
    {
        return std::make_unique<ChildProcess>(QHVLOGGER_BINARY, std::vector<std::string> { "-noconsole" },
                                              std::vector<std::string> { "ProgramData=C:\\ProgramData" });
    }

    // Every log file of both loggers with its content.
    std::map<std::string, std::string> Files() const
    {
        std::map<std::string, std::string> files;
        for (const char* folder : { "survey/qhv", "survey/p2x" }) {
            std::error_code ignored;
            for (const auto& entry : fs::directory_iterator(m_root.path() / "c" / folder, ignored)) {
                files[entry.path().string()] = testsupport::ReadFile(entry.path());
            }
        }
        return files;
    }

    // Bytes in the files of one kind (".qhv" or ".p2x").
    std::uintmax_t Bytes(const std::string& extension) const
    {
        std::uintmax_t total = 0;
        for (const auto& [path, content] : Files()) {
            total += fs::path(path).extension() == extension ? content.size() : 0;
        }
        return total;
    }

    // qhvdump --count over the files of one kind.
    long Count(const std::map<std::string, std::string>& files, const std::string& extension) const
    {
        std::vector<std::string> arguments { "--count" };
        for (const auto& [path, content] : files) {
            if (fs::path(path).extension() == extension) {
                arguments.push_back(path);
            }
        }
        const Dumped dumped = Dump(arguments);
        EXPECT_EQ(dumped.exitCode, 0) << dumped.out;
        return std::strtol(dumped.out.c_str(), nullptr, 10);
    }

    testsupport::ScopedEnv m_noLogName { "QHV_LOGNAME", std::nullopt };
    testsupport::TempDir m_root;
    testsupport::DemoDatabase m_database { m_root.path() };
};

}  // namespace

TEST_F(CrashFixture, KilledAtRandomMomentsLeavesWholeFilesAndLosesNothingWritten)
{
    const char* given = std::getenv("QHV_CRASH_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                           : std::random_device()();
    std::cout << "crash test seed " << seed << " (QHV_CRASH_SEED=" << seed << " repeats it)" << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);

    const SensorFeed sensor;
    const UdpSocket control;
    std::map<std::string, std::string> before;
    long heaveRecords = 0;
    long p2xLines = 0;
    const auto started = std::chrono::steady_clock::now();

    for (int kill = 1; kill <= Kills; ++kill) {
        const std::uintmax_t heaveBytes = Bytes(".qhv");
        const std::uintmax_t p2xBytes = Bytes(".p2x");
        auto child = Start();
        // The P2X logger switches itself on again (its parameter row says so);
        // the heave logger needs its command, which the supervisor takes only
        // once it runs: repeated until heave records come.
        auto lastStart = std::chrono::steady_clock::now() - 1h;
        ASSERT_TRUE(WaitFor([&] {
            const bool heaveGrows = Bytes(".qhv") > heaveBytes;
            if (!heaveGrows && std::chrono::steady_clock::now() - lastStart > 500ms) {
                control.SendTo(5076, HeaveStart);
                lastStart = std::chrono::steady_clock::now();
            }
            return child->Running() && heaveGrows && Bytes(".p2x") > p2xBytes;
        }, 30s)) << "kill " << kill << ": no logging after the start\n" << child->Err();

        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 400)(random)));
        child->Signal(SIGKILL);
        const std::optional<int> status = child->Ended();
        ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << "kill " << kill;

        const std::map<std::string, std::string> files = Files();
        std::vector<std::string> check { "--check" };
        for (const auto& [path, content] : files) {
            check.push_back(path);
        }
        const Dumped checked = Dump(check);
        ASSERT_EQ(checked.exitCode, 0) << "kill " << kill << ": a file is not whole\n" << checked.out;

        const long heave = Count(files, ".qhv");
        const long p2x = Count(files, ".p2x");
        EXPECT_GT(heave, heaveRecords) << "kill " << kill;
        EXPECT_GT(p2x, p2xLines) << "kill " << kill;
        heaveRecords = heave;
        p2xLines = p2x;
        // A file of an earlier life is the beginning of a file now: the same one,
        // or the one it was moved aside to.
        for (const auto& [path, content] : before) {
            bool kept = false;
            for (const auto& [nowPath, nowContent] : files) {
                kept = kept || nowContent.compare(0, content.size(), content) == 0;
            }
            EXPECT_TRUE(kept) << "kill " << kill << ": the bytes of " << path << " are gone";
        }
        before = files;
    }

    // Each heave datagram was written once: no record is doubled by a restart.
    std::set<std::uint32_t> sequences;
    long records = 0;
    for (const auto& [path, content] : before) {
        for (std::size_t at = 0; fs::path(path).extension() == ".qhv" && at + 2 <= content.size();) {
            const std::size_t length = static_cast<unsigned char>(content[at]) |
                                       static_cast<std::size_t>(static_cast<unsigned char>(content[at + 1])) << 8;
            std::uint32_t sequence = 0;
            for (int i = 0; i < 4; ++i) {
                sequence = sequence << 8 | static_cast<unsigned char>(content[at + 8 + i]);
            }
            EXPECT_TRUE(sequences.insert(sequence).second)
                << "datagram " << sequence << " written twice";
            at += 2 + length;
            ++records;
        }
    }
    EXPECT_EQ(records, heaveRecords);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << Kills << " kills in " << seconds << " s: " << heaveRecords << " heave records and " << p2xLines
              << " P2X lines in " << before.size() << " files, all whole" << std::endl;
}
