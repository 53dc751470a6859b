// The datagram log files against real files in a temporary drive root; the
// trace lines are recorded from the "LogTrace" logger and checked exactly.
#include "QHVLogger/LogFiles.h"

#include "LogTrace/LogTrace.h"
#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "platform/Time.h"
#include "testsupport/FileSizeLimit.h"
#include "testsupport/RecordingAppender.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::ScopedFileSizeLimit;
using testsupport::ScopedEnv;
using testsupport::ScopedRecorder;
using testsupport::TempDir;
using testsupport::WaitFor;
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

// One .qhv record of fewer than 256 bytes.
std::string Record(const std::string& bytes)
{
    return std::string { static_cast<char>(bytes.size()), '\0' } + bytes;
}

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

    // An empty log directory gives a rooted path without a drive: it lands on C:.
    m_file.SetPath("\\x.qhv");
    ASSERT_TRUE(m_file.OpenLogFile());
    EXPECT_TRUE(fs::is_regular_file(m_root.path() / "c" / "x.qhv"));
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

TEST_F(LogFiles, RepeatedOpensOfOnePathKeepEveryFile)
{
    // Opened three times within a second the suffixed names collide; each file
    // moved aside must survive. The colons belong to the file name, not a folder.
    fs::create_directories(m_root.path() / "d" / "log");
    m_file.SetPath("D:\\log\\heave_12:30.qhv");
    for (const char* bytes : { "first", "second", "third" }) {
        ASSERT_TRUE(m_file.OpenLogFile());
        m_file.WriteDatagramRecord(Datagram(bytes).signal());
    }
    ASSERT_TRUE(m_file.CloseLogFile());

    const fs::path folder = m_root.path() / "d" / "log";
    EXPECT_EQ(ReadFile(folder / "heave_12:30.qhv"), Record("third"));
    std::vector<std::string> moved;  // contents of the files named by the rename lines
    const std::string renamed = Data("\n\tRenamed existing datagram log file:\n\t       D:\\log\\heave_12:30.qhv to"
                                     "\n\t       D:\\log\\");
    for (const std::string& line : m_recorder.lines()) {
        if (line.rfind(renamed, 0) == 0) {
            moved.push_back(ReadFile(folder / line.substr(renamed.size(), line.size() - renamed.size() - 1)));
        }
    }
    EXPECT_EQ(moved, (std::vector<std::string> { Record("first"), Record("second") }));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3);
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

TEST_F(LogFiles, OutsideTheLogRootsNothingIsOpenedMadeOrMovedAside)
{
    const fs::path survey = m_root.path() / "d" / "survey";
    const fs::path elsewhere = m_root.path() / "elsewhere";
    fs::create_directories(survey);
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, survey / "link");
    WriteFile(elsewhere / "heave.qhv", "not ours");
    {
        ScopedEnv roots("QHV_LOG_ROOTS", survey.string());
        m_file.SetPath("D:\\survey\\run\\heave.qhv");
        EXPECT_TRUE(m_file.OpenLogFile());
        for (const std::string path : { "D:\\survey\\new\\..\\..\\x\\heave.qhv", "D:\\survey\\link\\heave.qhv" }) {
            m_file.SetPath(path);
            EXPECT_FALSE(m_file.OpenLogFile());
            EXPECT_FALSE(m_file.IsOpen());
            EXPECT_EQ(m_recorder.lines().back(), Data("\n\tError: Not able to open file:\n\t       '" + path + "'"));
        }
        EXPECT_FALSE(fs::exists(survey / "new"));
        EXPECT_EQ(ReadFile(elsewhere / "heave.qhv"), "not ours");
    }
    // Without log roots the same path is opened, the file there moved aside.
    EXPECT_TRUE(m_file.OpenLogFile());
    EXPECT_EQ(ReadFile(elsewhere / "heave.qhv"), "");
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

TEST_F(LogFiles, AFailedWriteLeavesWholeRecordsAndIsReportedOncePerRun)
{
    m_file.SetPath(m_root.str() + "/heave.qhv");
    ASSERT_TRUE(m_file.OpenLogFile());
    const std::string first = Bytes(52, 'A');
    const std::string large = Bytes(52, 'a');
    const std::string small = Bytes(13, 'n');
    const std::string last = Bytes(52, '0');
    m_file.WriteDatagramRecord(Datagram(first).signal());
    m_recorder.clear();
    std::vector<std::string> reported;  // the owner hears of each traced failure
    m_file.SetWriteErrorReport([&](const std::string& path) { reported.push_back(path); });
    const std::string error = Data("\n\tERROR: Writing to datagram log file:\n\t       " + m_root.str() + "/heave.qhv.");
    {
        // 100 bytes hold the first record (54) and part of a second: each large
        // record is torn at the limit and must be cut off again.
        ScopedFileSizeLimit limit(100);
        for (int i = 0; i < 5; ++i) {
            m_file.WriteDatagramRecord(Datagram(large).signal());
        }
        EXPECT_EQ(m_recorder.lines(), std::vector<std::string> { error });
        EXPECT_EQ(ReadFile(m_root.path() / "heave.qhv"), Record(first));

        // A record that fits ends the run; the next failure is reported again,
        // and while failures go on, once more a second later at the earliest.
        m_file.WriteDatagramRecord(Datagram(small).signal());
        const auto reported = std::chrono::steady_clock::now();
        m_file.WriteDatagramRecord(Datagram(large).signal());
        EXPECT_EQ(m_recorder.lines(), (std::vector<std::string> { error, error }));
        ASSERT_TRUE(WaitFor([&] {
            m_file.WriteDatagramRecord(Datagram(large).signal());
            return m_recorder.lines().size() == 3;
        }));
        EXPECT_GE(std::chrono::steady_clock::now() - reported, std::chrono::seconds(1));
    }
    // With space again the next record follows the last whole one.
    m_file.WriteDatagramRecord(Datagram(last).signal());
    EXPECT_EQ(m_recorder.lines().size(), 3u);
    EXPECT_EQ(reported, std::vector<std::string>(3, m_root.str() + "/heave.qhv"));
    EXPECT_EQ(ReadFile(m_root.path() / "heave.qhv"), Record(first) + Record(small) + Record(last));
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

// The length of a file is counted afresh for each file: a failed write after a
// rotation cuts the new file back to its own last whole record, not to where
// the previous file ended.
TEST_F(LogFiles, AFailedWriteAfterARotationCutsTheNewFileToItsOwnLastRecord)
{
    const std::string first = Bytes(52, 'A');
    m_file.SetPath(m_root.str() + "/old.qhv");
    ASSERT_TRUE(m_file.OpenLogFile());
    for (int i = 0; i < 3; ++i) {
        m_file.WriteDatagramRecord(Datagram(first).signal());
    }
    for (const std::string name : { "/old.qhv", "/new.qhv" }) {  // the same path again, then another
        m_file.SetPath(m_root.str() + name);
        ASSERT_TRUE(m_file.OpenLogFile());
        m_file.WriteDatagramRecord(Datagram(first).signal());
        {
            ScopedFileSizeLimit limit(100);  // tears the next record
            m_file.WriteDatagramRecord(Datagram(Bytes(52, 'a')).signal());
        }
        EXPECT_EQ(ReadFile(m_root.path() / name.substr(1)), Record(first)) << name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(m_root.path()), fs::directory_iterator()), 3) << "the first moved aside";
}

// Records gathered while datagrams queue stay out of the file until they are
// written together; a write that fails in the middle of them keeps the whole
// records that reached the file, cuts off the torn one, reports once, and the
// next records follow the last whole one. Closing writes what is gathered.
TEST_F(LogFiles, GatheredRecordsGoOutTogetherAndAFailureInTheirMiddleKeepsTheWholeOnes)
{
    const fs::path path = m_root.path() / "heave.qhv";
    m_file.SetPath(path.string());
    ASSERT_TRUE(m_file.OpenLogFile());
    std::vector<std::string> records;
    for (char first : { 'A', 'B', 'C', 'D', 'E' }) {
        records.push_back(Bytes(52, first));
        m_file.GatherDatagramRecord(Datagram(records.back()).signal());
    }
    EXPECT_EQ(ReadFile(path), "") << "gathered, not yet written";
    EXPECT_TRUE(m_file.FlushRecords());
    EXPECT_TRUE(m_file.FlushRecords()) << "nothing left to write";
    std::string whole;
    for (const std::string& record : records) {
        whole += Record(record);
    }
    EXPECT_EQ(ReadFile(path), whole);

    m_recorder.clear();
    int reports = 0;
    m_file.SetWriteErrorReport([&](const std::string&) { ++reports; });
    {
        // Room for two more records (270 + 108 = 378) and part of a third.
        ScopedFileSizeLimit limit(400);
        for (char first : { 'a', 'b', 'c', 'd' }) {
            m_file.GatherDatagramRecord(Datagram(Bytes(52, first)).signal());
        }
        EXPECT_FALSE(m_file.FlushRecords());
    }
    whole += Record(Bytes(52, 'a')) + Record(Bytes(52, 'b'));
    EXPECT_EQ(ReadFile(path), whole);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(m_recorder.lines(), std::vector<std::string> { Data("\n\tERROR: Writing to datagram log file:\n\t       " +
                                                                  path.string() + ".") });

    const std::string last = Bytes(13, 'z');
    m_file.GatherDatagramRecord(Datagram(last).signal());
    EXPECT_TRUE(m_file.CloseLogFile());
    EXPECT_EQ(ReadFile(path), whole + Record(last));
}
