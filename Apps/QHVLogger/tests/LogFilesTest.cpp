// The datagram log files against real files in a temporary drive root; the
// trace lines are recorded from the "LogTrace" logger and checked exactly.
#include "QHVLogger/LogFiles.h"

#include "LogTrace/LogTrace.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "platform/Time.h"
#include "testsupport/RecordingAppender.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::ScopedRecorder;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// The smallest state machine: only its trace lines matter here.
class CTraceOwner : public CFsmBase {
public:
    explicit CTraceOwner(LogTrace* trace) : CFsmBase("QHVLogger", trace, DEBUG_DATA) {}
    void PutExternal(CTRXSignal**, bool) override {}
};

std::string Data(const std::string& text)
{
    return "*F: QHVLogger   " + std::string(22, ' ') + "Data: " + text;
}

std::time_t Utc(int year, int month, int day, int hour, int minute, int second)
{
    std::tm broken {};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    return ::timegm(&broken);
}

std::string Suffix(std::time_t when)
{
    const std::tm local = platform::LocalTime(when);
    char text[32];
    std::strftime(text, sizeof text, "_%y%m%d%H%M%S", &local);
    return text;
}

std::string Bytes(int count, char first)
{
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        bytes.push_back(static_cast<char>(first + i));
    }
    return bytes;
}

// A heave signal carrying a copy of `bytes`; its payload goes with the object.
class Datagram {
public:
    explicit Datagram(const std::string& bytes)
        : m_signal(59352, CopyPayload(bytes.data(), static_cast<std::int32_t>(bytes.size())),
                   static_cast<std::int32_t>(bytes.size()))
    {
    }
    ~Datagram() { m_signal.ReleasePayload(); }
    const CTRXSignal& signal() const { return m_signal; }

private:
    CTRXSignal m_signal;
};

class LogFiles : public ::testing::Test {
protected:
    TempDir m_root;
    ScopedEnv m_drives { "QHV_DRIVE_ROOT", m_root.str() };
    ScopedRecorder m_recorder { "LogTrace" };
    LogTrace m_trace;
    CTraceOwner m_owner { &m_trace };
    CDatagramLogFile m_file { m_owner, ".qhv" };
};

}  // namespace

TEST(FileNameTokens, AreReplacedByTheUtcTimeAndTheEpochValue)
{
    const std::time_t lastOfJanuary = Utc(2025, 1, 31, 23, 59, 58);
    EXPECT_EQ(ExpandFileNameTokens("heave__TOKY__TOKM__TOKD_.qhv", 0, lastOfJanuary), "heave_20250131.qhv");
    EXPECT_EQ(ExpandFileNameTokens("_TOKY_-_TOKM_-_TOKD_ _TOKH_:_TOKN_:_TOKS_", 0, Utc(2024, 3, 5, 7, 8, 9)),
              "2024-03-05 07:08:09");
    EXPECT_EQ(ExpandFileNameTokens("D:\\_TOKY_\\e_TOKEPOCSEC_x_TOKEPOCSEC_.qhv", 1738367998, lastOfJanuary),
              "D:\\2025\\e1738367998x1738367998.qhv");
    EXPECT_EQ(ExpandFileNameTokens("_TOKEPOCSEC_", -5, lastOfJanuary), "-5");
    // Tokens are case-sensitive; each is replaced at every place it occurs.
    EXPECT_EQ(ExpandFileNameTokens("_toky__TOKY__TOKY__TOKX_", 0, lastOfJanuary), "_toky_20252025_TOKX_");
}

TEST(CollapseSeparators, MakesEachRunOfOneSeparatorSingle)
{
    EXPECT_EQ(CollapseSeparators("D:\\\\data\\\\\\heave//x///y\\/z"), "D:\\data\\heave/x/y\\/z");
    EXPECT_EQ(CollapseSeparators(""), "");
}

TEST_F(LogFiles, OpenCreatesMissingFoldersAndKeepsTheWorkingDirectory)
{
    const fs::path before = fs::current_path();
    m_file.SetPath("D:\\new\\deeper\\heave.qhv");
    ASSERT_TRUE(m_file.OpenLogFile());
    EXPECT_TRUE(m_file.IsOpen());
    EXPECT_TRUE(fs::is_regular_file(m_root.path() / "d" / "new" / "deeper" / "heave.qhv"));
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_EQ(m_recorder.lines(),
              (std::vector<std::string> { Data("\n\tOpened datagram log file:\n\tD:\\new\\deeper\\heave.qhv") }));
}

TEST_F(LogFiles, OpenMovesAnExistingFileAsideBeforeCreatingTheNewOne)
{
    fs::create_directories(m_root.path() / "d" / "log");
    WriteFile(m_root.path() / "d" / "log" / "heave.qhv", "earlier records");
    m_file.SetPath("D:\\log\\heave.qhv");

    const std::time_t before = platform::Now().seconds;
    ASSERT_TRUE(m_file.OpenLogFile());
    const std::time_t after = platform::Now().seconds;

    std::string suffix;
    for (std::time_t t = before; t <= after && suffix.empty(); ++t) {
        if (fs::exists(m_root.path() / "d" / "log" / ("heave" + Suffix(t) + ".qhv"))) {
            suffix = Suffix(t);
        }
    }
    ASSERT_FALSE(suffix.empty());
    EXPECT_EQ(ReadFile(m_root.path() / "d" / "log" / ("heave" + suffix + ".qhv")), "earlier records");
    EXPECT_EQ(ReadFile(m_root.path() / "d" / "log" / "heave.qhv"), "");
    EXPECT_EQ(m_recorder.lines(), (std::vector<std::string> {
        Data("\n\t Closed datagram log file:\n\t D:\\log\\heave.qhv."),
        Data("\n\tRenamed existing datagram log file:\n\t       D:\\log\\heave.qhv to\n\t       D:\\log\\heave" +
             suffix + ".qhv."),
        Data("\n\tOpened datagram log file:\n\tD:\\log\\heave.qhv") }));
}

TEST_F(LogFiles, ANameWithoutTheExtensionGetsSuffixAndExtensionAppended)
{
    // The folder's name holds the extension; only the file name may change.
    fs::create_directories(m_root.path() / "d" / "run.qhv");
    WriteFile(m_root.path() / "d" / "run.qhv" / "heave", "earlier");
    m_file.SetPath("D:\\run.qhv\\heave");
    ASSERT_TRUE(m_file.RenameExistingLogFile());
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_root.path() / "d" / "run.qhv")) {
        names.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].size() == 5 + 13 + 4 && names[0].rfind("heave_", 0) == 0 &&
                names[0].substr(18) == ".qhv") << names[0];
}

TEST_F(LogFiles, FailuresToRenameOrOpenAreTraced)
{
    m_file.SetPath("D:\\log\\gone.qhv");
    EXPECT_FALSE(m_file.RenameExistingLogFile());
    ASSERT_EQ(m_recorder.lines().size(), 1u);
    EXPECT_EQ(m_recorder.lines()[0].rfind(Data("\n\tERROR: 2. Could not rename existing datagram log file:\n\t"
                                               "       D:\\log\\gone.qhv to\n\t       D:\\log\\gone_"), 0), 0u);
    m_recorder.clear();

    fs::create_directories(m_root.path() / "d");
    WriteFile(m_root.path() / "d" / "blocked", "a file where a folder should be");
    m_file.SetPath("D:\\blocked\\heave.qhv");
    EXPECT_FALSE(m_file.OpenLogFile());
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_EQ(m_recorder.lines(), (std::vector<std::string> {
        Data("\n\tError: Not able to open file:\n\t       'D:\\blocked\\heave.qhv'") }));
}

TEST_F(LogFiles, RecordsAreLengthPrefixedAndOnDiskAtOnce)
{
    m_file.SetPath(m_root.str() + "/heave.qhv");
    ASSERT_TRUE(m_file.OpenLogFile());
    const std::string long52 = "\xAA" + Bytes(51, 'A');
    const std::string short13 = "\xAA" + Bytes(12, 'a');

    m_file.WriteDatagramRecord(Datagram(long52).signal());
    EXPECT_EQ(ReadFile(m_root.path() / "heave.qhv"), std::string("\x34\x00", 2) + long52);
    m_file.WriteDatagramRecord(Datagram(short13).signal());
    CTRXSignal noPayload(59352, nullptr, 0);
    m_file.WriteDatagramRecord(noPayload);
    EXPECT_EQ(ReadFile(m_root.path() / "heave.qhv"),
              std::string("\x34\x00", 2) + long52 + std::string("\x0d\x00", 2) + short13);

    ASSERT_TRUE(m_file.CloseLogFile());
    EXPECT_FALSE(m_file.IsOpen());
}

TEST_F(LogFiles, WithoutAnOpenFileNothingIsWrittenAndClosingSucceeds)
{
    m_file.SetPath("D:\\log\\heave.qhv");
    m_file.WriteDatagramRecord(Datagram("\xAA").signal());
    EXPECT_FALSE(m_file.WriteLine("$PQRV", 5));
    EXPECT_TRUE(m_file.CloseLogFile());
    const std::string notOpen = Data("\n\tERROR: Datagram log file not open:\n\t       D:\\log\\heave.qhv.");
    EXPECT_EQ(m_recorder.lines(), (std::vector<std::string> {
        notOpen, notOpen, Data("\n\t Closed datagram log file:\n\t D:\\log\\heave.qhv.") }));
    EXPECT_FALSE(fs::exists(m_root.path() / "d"));
}

TEST_F(LogFiles, AFailedWriteIsReportedAndTheNextRecordFollowsIt)
{
    m_file.SetPath(m_root.str() + "/heave.qhv");
    ASSERT_TRUE(m_file.OpenLogFile());
    const std::string first = Bytes(52, 'A');
    const std::string second = Bytes(52, 'a');
    const std::string third = Bytes(52, '0');
    m_file.WriteDatagramRecord(Datagram(first).signal());
    m_recorder.clear();

    // A file-size limit of 100 bytes cuts the second record short.
    rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    m_file.WriteDatagramRecord(Datagram(second).signal());
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(m_recorder.lines(), (std::vector<std::string> {
        Data("\n\tERROR: Writing to datagram log file:\n\t       " + m_root.str() + "/heave.qhv.") }));
    m_recorder.clear();
    m_file.WriteDatagramRecord(Datagram(third).signal());
    EXPECT_TRUE(m_recorder.lines().empty());

    const std::string content = ReadFile(m_root.path() / "heave.qhv");
    ASSERT_EQ(content.size(), 100u + 54u);
    EXPECT_EQ(content.substr(0, 54), std::string("\x34\x00", 2) + first);
    EXPECT_EQ(content.substr(54, 46), (std::string("\x34\x00", 2) + second).substr(0, 46));
    EXPECT_EQ(content.substr(100), std::string("\x34\x00", 2) + third);
}

TEST_F(LogFiles, P2xLinesEndInALineFeed)
{
    CDatagramLogFile p2x(m_owner, ".p2x");
    p2x.SetPath(m_root.str() + "/sensor.p2x");
    ASSERT_TRUE(p2x.OpenLogFile());
    const std::string sentence = "$PQRV,25,1,abc*00";
    EXPECT_TRUE(p2x.WriteLine(sentence.data(), sentence.size()));
    EXPECT_TRUE(p2x.WriteLine(sentence.data(), 8));
    EXPECT_EQ(ReadFile(m_root.path() / "sensor.p2x"), sentence + "\n$PQRV,25\n");
}
