// qhvdump --follow and --plot as child processes over files the loggers' own
// log-file class writes while they run: every record once and whole across a
// rotation, the rate line, and pictures gnuplot drew.
#include "QHVLogger/LogFiles.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::WaitFor;

const std::uint32_t T0 = 1738367998;  // 2025-01-31 23:59:58 UTC

std::string Heave(std::uint32_t epoch, std::uint8_t sample)
{
    std::string bytes(13, '\0');
    bytes[0] = '\xAA';
    bytes[1] = 'R';
    for (int i = 0; i < 4; ++i) {
        bytes[2 + i] = static_cast<char>(epoch >> (24 - 8 * i));
    }
    bytes[12] = static_cast<char>(sample);
    return bytes;
}

// The line qhvdump lists the record with.
std::string Listed(std::uint64_t index, std::uint32_t epoch, std::uint8_t sample)
{
    static const char Digits[] = "0123456789ABCDEF";
    std::string hex;
    for (const char c : Heave(epoch, sample)) {
        hex += Digits[static_cast<unsigned char>(c) >> 4];
        hex += Digits[static_cast<unsigned char>(c) & 0x0F];
    }
    const std::string time = epoch == T0 ? "2025-01-31 23:59:58" : "2025-01-31 23:59:59";
    return std::to_string(index) + " 13 R " + time + " " + hex + "\n";
}

class CQuietOwner : public CFsmBase {
public:
    CQuietOwner() : CFsmBase("FollowPlotTest", nullptr, 0) {}
    void PutExternal(CTRXSignal**, bool) override {}
};

// A log file as a logger keeps it open and writes into it.
class CLoggerFile {
public:
    CLoggerFile(const CFsmBase& owner, const fs::path& path) : m_file(owner, path.extension().string())
    {
        m_file.SetPath(path.string());
        EXPECT_TRUE(m_file.OpenLogFile());
    }
    ~CLoggerFile() { m_file.CloseLogFile(); }

    void Datagram(const std::string& bytes)
    {
        const auto length = static_cast<std::int32_t>(bytes.size());
        CTRXSignal datagram(1, CopyPayload(bytes.data(), length), length);
        m_file.WriteDatagramRecord(datagram);
        datagram.ReleasePayload();
    }
    // A sentence as received: written without its last byte, then "\n".
    void Sentence(const std::string& text) { EXPECT_TRUE(m_file.WriteLine(text.data(), text.size() - 1)); }

private:
    CDatagramLogFile m_file;
};

void Append(const fs::path& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::app);
    file << bytes;
}

class FollowPlot : public ::testing::Test {
protected:
    static bool OutHas(ChildProcess& child, const std::string& text)
    {
        return WaitFor([&] { return child.Out().find(text) != std::string::npos; });
    }

    testsupport::TempDir m_dir;
    CQuietOwner m_owner;
};

}  // namespace

TEST_F(FollowPlot, FollowingAFolderPrintsEveryRecordOnceWholeAndInOrderAcrossARotation)
{
    const fs::path first = m_dir.path() / "heave_1.qhv";
    // What the first file held before the follower started is listed too.
    auto writer = std::make_unique<CLoggerFile>(m_owner, first);
    writer->Datagram(Heave(T0, 0));

    ChildProcess follower(QHVDUMP_BINARY, { "--follow", m_dir.path().string() });
    ASSERT_TRUE(OutHas(follower, Listed(0, T0, 0))) << follower.Out() << follower.Err();
    writer->Datagram(Heave(T0, 1));
    writer->Datagram(Heave(T0, 2));
    ASSERT_TRUE(OutHas(follower, Listed(2, T0, 2))) << follower.Out();

    // A record that reaches the file in two writes is printed once it is whole,
    // not before: the follower looks at the file at least once a second.
    const std::string record = std::string("\x0D\x00", 2) + Heave(T0, 3);
    Append(first, record.substr(0, 6));
    EXPECT_FALSE(WaitFor([&] { return follower.Out().find(Listed(3, T0, 3)) != std::string::npos; },
                         std::chrono::milliseconds(1500)))
        << follower.Out();
    Append(first, record.substr(6));
    ASSERT_TRUE(OutHas(follower, Listed(3, T0, 3))) << follower.Out();

    // Rotation: the logger closes the file and opens a newer one.
    writer.reset();
    CLoggerFile second(m_owner, m_dir.path() / "heave_2.qhv");
    second.Datagram(Heave(T0 + 1, 5));
    second.Datagram(Heave(T0 + 1, 6));
    ASSERT_TRUE(OutHas(follower, Listed(1, T0 + 1, 6))) << follower.Out();

    follower.Signal(SIGINT);
    EXPECT_EQ(follower.ExitCode(), 0);
    EXPECT_EQ(follower.Out(), "==> " + first.string() + " <==\n" + Listed(0, T0, 0) + Listed(1, T0, 1) +
                                  Listed(2, T0, 2) + Listed(3, T0, 3) + "==> " +
                                  (m_dir.path() / "heave_2.qhv").string() + " <==\n" + Listed(0, T0 + 1, 5) +
                                  Listed(1, T0 + 1, 6));
    EXPECT_EQ(follower.Err(), "");
}

TEST_F(FollowPlot, FollowingAFileNameWithSummaryCountsLinesAndTakesTheFileMovedInUnderIt)
{
    const fs::path path = m_dir.path() / "sensor.p2x";
    ChildProcess follower(QHVDUMP_BINARY, { "--follow", "--summary", path.string() });
    ASSERT_TRUE(WaitFor([&] { return follower.Err().find("not there yet") != std::string::npos; }));
    {
        CLoggerFile file(m_owner, path);
        file.Sentence("$PQRV,25,1,0.50*3A\r\n");
        file.Sentence("$PQRV,26,1,12.0*0C\r\n");
        file.Sentence("$PQRV,27,CFG7*1F\r\n");
        ASSERT_TRUE(OutHas(follower, "  sensor.p2x  3 lines\n")) << follower.Out();
    }
    // The next file of the same name: the old one is moved aside first.
    const std::size_t rotated = follower.Out().size();
    CLoggerFile next(m_owner, path);
    next.Sentence("$PQRV,25,1,0.55*3F\r\n");
    next.Sentence("$PQRV,26,1,12.0*0C\r\n");
    ASSERT_TRUE(WaitFor([&] { return follower.Out().find("  sensor.p2x  2 lines\n", rotated) != std::string::npos; }))
        << follower.Out();

    follower.Signal(SIGTERM);
    EXPECT_EQ(follower.ExitCode(), 0);
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  \d+\.\d (lines/s  sensor\.p2x  \d+ lines?|records/s  -  0 records))");
    std::istringstream lines(follower.Out());
    for (std::string text; std::getline(lines, text);) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
}

TEST_F(FollowPlot, PlotDrawsPngAndSvgWithTheFilesGapsAndP2xStartsOrSaysGnuplotIsMissing)
{
    // One second of 10 records, a step of 5 s (a gap at the default 2 s), then
    // a second file; a .p2x file named with the time the logger opened it.
    const fs::path early = m_dir.path() / "heave_early.qhv";
    const fs::path late = m_dir.path() / "heave_late.qhv";
    {
        CLoggerFile a(m_owner, early);
        CLoggerFile b(m_owner, late);
        for (std::uint8_t n = 0; n < 10; ++n) {
            a.Datagram(Heave(T0, n));
            b.Datagram(Heave(T0 + 6 + n / 5, n));
        }
        CLoggerFile p2x(m_owner, m_dir.path() / "p2x_20250131235959.p2x");
        p2x.Sentence("$PQRV,25,1,LEVER,0.120,-0.350,1.875*76\r\n");
    }
    const std::vector<std::string> files = { early.string(), late.string(),
                                             (m_dir.path() / "p2x_20250131235959.p2x").string() };

    // Command lines either mode refuses, with exit code 2 before any work.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        { { "--plot", "day.pdf", files.front() }, "--plot: \"day.pdf\" is no .png or .svg file name" },
        { { "--follow", files.front(), files.back() }, "--follow takes one PATH, a file or a folder" },
        { { "--follow", "--check", files.front() }, "--follow and --check do not go together" },
        { { "--follow", "--summary", "--gap", "5", files.front() }, "--gap does not go with --follow" },
        { { "--follow", "--plot", "a.png", files.front() }, "--follow and --plot do not go together" },
    };
    for (const auto& [arguments, reason] : refused) {
        ChildProcess dump(QHVDUMP_BINARY, arguments);
        EXPECT_EQ(dump.ExitCode(), 2) << reason;
        EXPECT_EQ(dump.Err(), "qhvdump: " + reason + "\nTry 'qhvdump --help'.\n");
    }

    std::vector<std::string> noGnuplot = { "--plot", (m_dir.path() / "none.png").string() };
    noGnuplot.insert(noGnuplot.end(), files.begin(), files.end());
    ChildProcess missing(QHVDUMP_BINARY, noGnuplot, { "PATH=" + m_dir.path().string() });
    EXPECT_EQ(missing.ExitCode(), 1);
    EXPECT_EQ(missing.Err(), "qhvdump: gnuplot is not installed; install the Debian package gnuplot-nox\n");

    if (::access("/usr/bin/gnuplot", X_OK) != 0) {
        GTEST_SKIP() << "gnuplot is not installed (scripts/install-deps.sh installs gnuplot-nox)";
    }
    for (const std::string name : { "day.png", "day.svg" }) {
        std::vector<std::string> arguments = { "--plot", (m_dir.path() / name).string() };
        arguments.insert(arguments.end(), files.begin(), files.end());
        ChildProcess plot(QHVDUMP_BINARY, arguments);
        ASSERT_EQ(plot.ExitCode(), 0) << plot.Err();
        const std::string picture = testsupport::ReadFile(m_dir.path() / name);
        ASSERT_GT(picture.size(), 1000u) << name;
        if (name == "day.png") {
            EXPECT_EQ(picture.substr(0, 8), "\x89PNG\r\n\x1a\n");
            continue;
        }
        for (const std::string shown : { "<svg", "heave_early.qhv", "heave_late.qhv",
                                         "p2x_20250131235959.p2x $PQRV,25,1", "gap longer than 2 s",
                                         "QHVLogger files, 2025-01-31 23:59:58 to 2025-02-01 00:00:05 UTC: "
                                         "20 heave records in 3 files" }) {
            EXPECT_NE(picture.find(shown), std::string::npos) << shown;
        }
        // The gap's colour fills two shapes: the one gap, and its sample in the key.
        std::size_t filled = 0;
        for (std::size_t at = 0; (at = picture.find("fill = 'rgb(244, 199, 195)'", at)) != std::string::npos; ++at) {
            ++filled;
        }
        EXPECT_EQ(filled, 2u);
    }
    // Without heave records the .p2x files alone still make a picture.
    ChildProcess sentencesOnly(QHVDUMP_BINARY, { "--plot", (m_dir.path() / "p2x.svg").string(), files.back() });
    EXPECT_EQ(sentencesOnly.ExitCode(), 0) << sentencesOnly.Err();
}
