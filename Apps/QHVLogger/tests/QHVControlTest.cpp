// The heave logger driven as the supervisor drives it: control sentences as
// signals, heave datagrams over real UDP, real .qhv files, the status sentences
// on the operator-status port and the messages in the demo system database.
#include "QHVLogger/QHVControl.h"

#include "LoggerRig.h"
#include "QHVLogger/ProcessWide.h"

#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <chrono>
#include <condition_variable>
#include <set>

using namespace loggertest;
using testsupport::WaitFor;

namespace {

const std::string On = "$ZELIX,172,ON\n\r";
const std::string Off = "$ZELIX,172,OFF\n\r";

// A heave datagram: 0xAA, kind, big-endian epoch, filled up to its length.
std::string Heave(char kind, std::uint32_t epoch, char fill)
{
    std::string datagram(kind == 'S' ? 52 : 13, fill);
    datagram[0] = static_cast<char>(0xAA);
    datagram[1] = kind;
    for (int i = 0; i < 4; ++i) {
        datagram[2 + i] = static_cast<char>(epoch >> (24 - 8 * i));
    }
    return datagram;
}

// Holds the first thread that traces a line containing `text`, once armed,
// until released: a job made as slow as a test needs.
class TraceGate : public log4cplus::Appender {
public:
    explicit TraceGate(std::string text) : m_text(std::move(text)) {}
    ~TraceGate() override { destructorImpl(); }
    void close() override {}

    bool WaitUntilHeld()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_held; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_held || event.getMessage().find(m_text) == std::string::npos) {
            return;
        }
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }

private:
    const std::string m_text;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_released = false;
};

class HeaveLoggerTest : public ::testing::Test {
protected:
    HeaveLoggerTest()
        : m_dataPort(FreeUdpPort()),
          m_rig({ { "RUNT_PARAM_QHV_LOG_SOURCE_PORT", m_dataPort },
                  { "RUNT_PARAM_QHV_DIR", std::string("C:\\survey\\qhv") },
                  { "RUNT_PARAM_QHV_FILE", std::string("heave__TOKEPOCSEC_.qhv") },
                  { "RUNT_PARAM_QHV_INTERVAL_TIME", 30 },
                  { "RUNT_PARAM_QHV_MAX_WAIT_TIME", 20 } })
    {
    }

    // A logger started with its parameters read, waiting for logging commands.
    CQHVControl& StartedLogger()
    {
        m_logger = std::make_unique<CQHVControl>("QHVLogger", &m_rig.trace, DEBUG_ALL, m_rig.Store());
        m_logger->Start(0);
        PutSentence(*m_logger, "$ZELIX,6,\n\r");
        EXPECT_TRUE(m_rig.WaitForTrace("JobWaitLogging"));
        return *m_logger;
    }

    // Sends datagrams to the data port.
    void Send(const std::string& datagram, std::uint16_t port = 0)
    {
        m_sender.SendTo(port != 0 ? port : m_dataPort, datagram);
    }

    fs::path Folder() const { return m_rig.OnDriveC("survey/qhv"); }
    fs::path File(std::uint32_t epoch) const { return Folder() / ("heave_" + std::to_string(epoch) + ".qhv"); }

    bool WaitForRecords(const fs::path& file, std::size_t count)
    {
        return WaitFor([&] { return QhvRecords(file).size() >= count; });
    }

    std::uint16_t m_dataPort;
    StatusListener m_status;
    Surroundings m_rig;
    UdpSocket m_sender;
    std::unique_ptr<CQHVControl> m_logger;
};

// The whole road of heave datagrams through one logging session.
TEST_F(HeaveLoggerTest, LogsHeaveDatagramsRecordByRecordFromStartToStop)
{
    // Commands that arrive while the parameters are read wait for the read:
    // the 171 then meets WAIT_LOGGING (disregarded, no status), the 170 starts logging.
    m_logger = std::make_unique<CQHVControl>("QHVLogger", &m_rig.trace, DEBUG_ALL, m_rig.Store());
    CTRXSignal* start = new CTRXSignal(ZELIX_6, nullptr, 0);
    m_logger->Dispatch(&start);
    DeleteSignal(start);
    for (const std::string sentence : { "$ZELIX,171,\n\r", "$ZELIX,170,,,,\n\r" }) {
        CTRXSignal* command = new CTRXSignal(ControlSignalNumber(sentence.data(), sentence.size()).value(), nullptr,
                                             CopyPayload(sentence.data(), static_cast<std::int32_t>(sentence.size())),
                                             static_cast<std::int32_t>(sentence.size()));
        m_logger->Dispatch(&command);
        EXPECT_EQ(command, nullptr) << "saved in DBINIT";
    }
    EXPECT_EQ(m_logger->CurrentState(), CQHVControl::DBINIT);
    m_logger->Start(0);
    ASSERT_TRUE(m_rig.WaitForTrace("JobPrepLogging"));

    // Datagrams that are no heave datagrams open no file.
    std::string hash = Heave('R', 1765000000, 'h');
    hash[4] = '#';
    for (const std::string& junk : { Heave('R', 1765000000, 'j').substr(0, 12), Heave('R', 1765000000, 'j') + "x",
                                     hash, std::string("$PQRV,25,1,2*00\r\n") }) {
        Send(junk);
    }
    const std::string first = Heave('R', 1765000000, 'a');
    Send(first);
    ASSERT_TRUE(WaitForRecords(File(1765000000), 1));
    EXPECT_EQ(QhvRecords(File(1765000000)), std::vector<std::string>({ first }));
    ASSERT_TRUE(m_status.WaitForCount(1));
    EXPECT_EQ(m_status.Sentences()[0], On) << "the 171 in WAIT_LOGGING sent nothing";

    // Each datagram is on disk before the next is sent; junk in between is ignored.
    std::vector<std::string> written { first };
    for (char fill : { 'b', 'c' }) {
        Send(hash);
        written.push_back(Heave('R', 1765000000, fill));
        Send(written.back());
        ASSERT_TRUE(WaitForRecords(File(1765000000), written.size()));
    }

    // Twenty-six mode: after a 52-byte datagram the next 100 13-byte ones are
    // dropped and the 101st is written again.
    written.push_back(Heave('S', 1765000000, 's'));
    Send(written.back());
    for (int i = 0; i < 100; ++i) {
        Send(Heave('R', 1765000000, 'd'));
    }
    written.push_back(Heave('R', 1765000000, 'z'));
    Send(written.back());
    ASSERT_TRUE(WaitForRecords(File(1765000000), written.size()));
    EXPECT_EQ(QhvRecords(File(1765000000)), written);

    // A 170 while logging closes the file; the next datagram opens the next one.
    PutSentence(*m_logger, "$ZELIX,170,C:\\survey\\qhv,heave__TOKEPOCSEC_.qhv,30,\n\r");
    const std::string next = Heave('R', 1765000100, 'n');
    Send(next);
    ASSERT_TRUE(WaitForRecords(File(1765000100), 1));
    EXPECT_EQ(QhvRecords(File(1765000100)), std::vector<std::string>({ next }));
    EXPECT_EQ(QhvRecords(File(1765000000)), written) << "the first file is left as it was";

    // 171 closes the file and reports OFF.
    PutSentence(*m_logger, "$ZELIX,171,\n\r");
    ASSERT_TRUE(m_status.WaitForCount(3));
    EXPECT_EQ(m_status.Sentences(), std::vector<std::string>({ On, On, Off }));
    EXPECT_EQ(m_rig.TraceCount("Closed datagram log file"), 2u);
    Send(Heave('R', 1765000200, 'x'));
    PutSentence(*m_logger, "$ZELIX,24,\n\r");
    EXPECT_TRUE(WaitFor([] { return g_terminationSemaphore.tryacquire() == 0; }));
    EXPECT_FALSE(fs::exists(File(1765000200))) << "logging is off";
}

// With a file interval of 0 every file is closed at the next timer tick, and a
// template without time tokens names every file alike: each one is kept.
TEST_F(HeaveLoggerTest, FileIntervalZeroKeepsEveryFile)
{
    CQHVControl& logger = StartedLogger();
    PutSentence(logger, "$ZELIX,170,C:\\survey\\qhv,heave.qhv,0,\n\r");
    std::set<std::string> sent;
    for (int i = 0; i < 3; ++i) {
        const std::string datagram = Heave('R', 1765000000 + i, static_cast<char>('a' + i));
        sent.insert(datagram);
        Send(datagram);
        ASSERT_TRUE(m_rig.WaitForTrace("JobTimedNewFile", i + 1));
    }
    std::set<std::string> kept;
    for (const fs::path& file : FilesIn(Folder())) {
        for (const std::string& record : QhvRecords(file)) {
            kept.insert(record);
        }
    }
    EXPECT_EQ(kept, sent);
    EXPECT_EQ(FilesIn(Folder()).size(), 3u);
}

// The data check sends ON twice with data and once plus message 1414 without;
// a frequency report becomes a trace warning and message 1415.
TEST_F(HeaveLoggerTest, ReportsStatusMissingDataAndLowRate)
{
    CQHVControl& logger = StartedLogger();
    PutSentence(logger, "$ZELIX,170,,,,\n\r");
    Send(Heave('R', 1765000000, 'a'));
    ASSERT_TRUE(m_status.WaitForCount(1));

    PutSignal(logger, WAIT_DATA_TIMEOUT);
    ASSERT_TRUE(m_status.WaitForCount(3));
    PutSignal(logger, WAIT_DATA_TIMEOUT);
    ASSERT_TRUE(m_status.WaitForCount(4));
    ASSERT_TRUE(m_rig.WaitForTrace("ERROR: No QHV data is received."));
    EXPECT_EQ(m_status.Sentences(), std::vector<std::string>(4, On));
    EXPECT_EQ(m_rig.MessageCount(1414), 1u);

    CTRXSignal* report = NewFrequencyReportSignal(nullptr, FrequencyReport { 10.0, 7.8, 80 });
    logger.PutExternal(&report, true);
    ASSERT_TRUE(m_rig.WaitForTrace("Warning: Frequency of received QHV (POS MV) datagrams is less than 80% of "
                                   "expected.\nExpected/received (Hz): 10.00/7.80',122);"));
    // The arrival and its text are two rows, written one after the other.
    ASSERT_TRUE(WaitFor([&] { return !m_rig.MessageTexts(1415).empty(); }));
    EXPECT_EQ(m_rig.MessageTexts(1415),
              std::vector<std::string>(
                  { "QHV-logger: hivdatarate under 80% av forventet (forventet 10.00 Hz, mottatt 7.80 Hz)" }));
}

// A log file that cannot be opened is reported on the 1st, 1001st and 2001st
// failure, with the path's doubled separators collapsed in the message.
TEST_F(HeaveLoggerTest, ReportsFailedOpensEveryThousandth)
{
    testsupport::WriteFile(m_rig.OnDriveC("blocked"), "a file where a folder should be");
    CQHVControl& logger = StartedLogger();
    PutSentence(logger, "$ZELIX,170,C:\\blocked\\\\sub,heave__TOKEPOCSEC_.qhv,30,\n\r");
    const std::string datagram = Heave('R', 1765000000, 'a');
    for (int i = 0; i < 2001; ++i) {
        CTRXSignal* signal = new CTRXSignal(ORVANTA_QHV, CopyPayload(datagram.data(), 13), 13);
        logger.PutExternal(&signal, true);
    }
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobNoLogFile", 2001));
    EXPECT_EQ(m_rig.TraceCount("ERROR: Not able to open .qhv log file: C:\\blocked\\\\sub\\heave_1765000000.qhv"), 3u);
    EXPECT_EQ(m_rig.MessageTexts(1410),
              std::vector<std::string>({ "QHV-logger: kan ikke apne loggfil C:\\blocked\\sub\\heave_1765000000.qhv" }));
    EXPECT_TRUE(m_status.Sentences().empty());
}

// A new port moves the receiver; a port that cannot be bound is reported and
// leaves the logger ready for the next command; port 0 keeps the receiver.
TEST_F(HeaveLoggerTest, MovesItsDataPortAndSurvivesOneThatCannotBeBound)
{
    CQHVControl& logger = StartedLogger();
    UdpSocket taken;  // bound without reuse-address: nobody else can bind it
    PutSentence(logger, "$ZELIX,170,,,," + std::to_string(taken.Port()) + "\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("Error: no data port: bind to input port " + std::to_string(taken.Port())));

    m_rig.WriteTokens({ { "RUNT_PARAM_QHV_DIR", std::string("C:\\survey\\qhv") },
                        { "RUNT_PARAM_QHV_FILE", std::string("heave__TOKEPOCSEC_.qhv") } });
    PutSentence(logger, "$ZELIX,170,,,,0\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("Source port 0 ignored"));

    const std::uint16_t moved = FreeUdpPort();
    PutSentence(logger, "$ZELIX,170,,,30," + std::to_string(moved) + "\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("Bind to input port " + std::to_string(moved)));
    Send(Heave('R', 1765000000, 'o'));  // the old port is closed
    const std::string datagram = Heave('R', 1765000100, 'm');
    Send(datagram, moved);
    ASSERT_TRUE(WaitForRecords(File(1765000100), 1));
    EXPECT_EQ(QhvRecords(File(1765000100)), std::vector<std::string>({ datagram }));
    EXPECT_FALSE(fs::exists(File(1765000000)));
}

// The log folder on a full disk: the records that fit stay whole and in order,
// the failure is traced and reported (message 1410) once for a burst, and with
// space again the next datagrams follow in the same file.
TEST_F(HeaveLoggerTest, OnAFullDiskKeepsWholeRecordsReportsOnceAndGoesOnInTheSameFile)
{
    const FullDisk disk;
    if (!disk.Mounted()) {
        GTEST_SKIP() << "a full disk needs a small tmpfs, and mounting one was refused: " << disk.Error();
    }
    const fs::path& folder = disk.Folder();
    // One page free for records, beside the spare one.
    fs::resize_file(folder / "ballast", fs::file_size(folder / "ballast") / 4096 * 4096 - 4096);
    struct statvfs space {};
    ASSERT_EQ(::statvfs(folder.c_str(), &space), 0);
    const std::size_t fit = space.f_bavail * space.f_frsize / 54;  // 52-byte datagrams

    std::vector<std::string> sent;
    const auto sendNext = [&] {
        sent.push_back(Heave('S', 1765000000, static_cast<char>('A' + sent.size() % 26)));
        sent.back()[6] = static_cast<char>(sent.size());
        Send(sent.back());
    };
    // A folder that ends in a separator doubles it in the path.
    PutSentence(StartedLogger(), "$ZELIX,170," + folder.string() + "\\,heave__TOKEPOCSEC_.qhv,30,\n\r");
    const auto burst = std::chrono::steady_clock::now();
    while (sent.size() < fit + 20) {
        sendNext();
    }
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobLog", sent.size() - 1));
    // Records gathered while the burst queued go out after its last job, and
    // the failure is traced before it is reported to the database.
    const std::string report =
        "ERROR: Writing to datagram log file:\n\t       " + folder.string() + "\\\\heave_1765000000.qhv.";
    ASSERT_TRUE(m_rig.WaitForTrace(report));
    ASSERT_TRUE(WaitFor([&] { return !m_rig.MessageTexts(1410).empty(); }));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - burst);
    const fs::path file = folder / "heave_1765000000.qhv";
    EXPECT_EQ(QhvRecords(file), std::vector<std::string>(sent.begin(), sent.begin() + fit));
    EXPECT_EQ(fs::file_size(file), fit * 54) << "no torn record at the end";
    const std::size_t reports = m_rig.TraceCount(report);
    EXPECT_LE(reports, 1u + static_cast<std::size_t>(seconds.count())) << "at most one a second";
    // The message with the separators collapsed (the database keeps one of a
    // repeated text within 10 s).
    EXPECT_EQ(m_rig.MessageTexts(1410), std::vector<std::string> { "QHV-logger: kan ikke apne loggfil " +
                                                                    folder.string() + "\\heave_1765000000.qhv" });

    disk.FreeSpare();
    const std::size_t failed = sent.size();
    for (int i = 0; i < 3; ++i) {
        sendNext();
    }
    ASSERT_TRUE(WaitForRecords(file, fit + 3));
    std::vector<std::string> expected(sent.begin(), sent.begin() + fit);
    expected.insert(expected.end(), sent.begin() + failed, sent.end());
    EXPECT_EQ(QhvRecords(file), expected);
    EXPECT_EQ(FilesIn(folder), (std::vector<fs::path> { folder / "ballast", file }));
    EXPECT_EQ(m_rig.TraceCount("ERROR: Writing to datagram log file"), reports);
}

}  // namespace

// Group commit seen from outside: a datagram that arrives alone is in the file
// before the next one is sent (the 200 Hz case: records never wait for a
// successor); a burst that queued behind a slow job is written whole and in
// order, and before the stop command queued right behind it closes the file.
TEST_F(HeaveLoggerTest, LoneDatagramsAreWrittenAtOnceAndABurstBehindASlowJobWhole)
{
    CQHVControl& logger = StartedLogger();
    PutSentence(logger, "$ZELIX,170,,,,\n\r");
    std::vector<std::string> written;
    for (int i = 0; i < 40; ++i) {
        written.push_back(Heave('R', 1765000000, static_cast<char>('0' + i)));
        Send(written.back());
        ASSERT_TRUE(WaitForRecords(File(1765000000), written.size())) << "record " << i;
    }

    log4cplus::Logger traceLogger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("LogTrace"));
    log4cplus::helpers::SharedObjectPtr<TraceGate> gate(new TraceGate("Job: JobInputFreqReport"));
    traceLogger.addAppender(log4cplus::SharedAppenderPtr(gate.get()));
    PutSignal(logger, INPUT_FREQ_REPORT);
    ASSERT_TRUE(gate->WaitUntilHeld());
    // Fewer than the queue length that the receive side traces, so that only
    // the held job waits.
    constexpr std::size_t Burst = 8;
    for (std::size_t i = 0; i < Burst; ++i) {
        written.push_back(Heave('R', 1765000000, static_cast<char>('a' + i)));
        Send(written.back());
    }
    EXPECT_TRUE(WaitFor([&] { return logger.ExternalLoad()->signalCount.load() == Burst; }));
    PutSentence(logger, "$ZELIX,171,\n\r");
    EXPECT_EQ(QhvRecords(File(1765000000)).size(), 40u);
    gate->Release();
    ASSERT_TRUE(m_status.WaitForCount(2));
    EXPECT_EQ(m_status.Sentences().back(), Off);
    EXPECT_EQ(QhvRecords(File(1765000000)), written);
    traceLogger.removeAppender(log4cplus::SharedAppenderPtr(gate.get()));
}
