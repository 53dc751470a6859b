// The P2X logger driven as the supervisor drives it: control sentences as
// signals, $PQRV sentences over real UDP, real .p2x files, status sentences on
// the operator-status port, its parameter row in the demo system database.
#include "QHVLogger/P2XLogger.h"

#include "LoggerRig.h"
#include "QHVLogger/ProcessWide.h"
#include "testsupport/FileSizeLimit.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace loggertest;
using testsupport::WaitFor;

namespace {

const std::string On = "$ZELIX,175,ON\n\r";
const std::string Off = "$ZELIX,175,OFF\n\r";

// The datagrams classify as the loggers' receive handlers queue them.
TEST(SensorDatagrams, ClassifyAsTheLoggersQueueThem)
{
    const auto number = [](const std::string& bytes, bool withHeave) {
        return SensorSignalNumber(bytes.data(), bytes.size(), withHeave);
    };
    EXPECT_EQ(number("$PQRV,25,1,x", false), ORVANTA_P25);
    EXPECT_EQ(number("$PQRV,26,1,x", false), ORVANTA_P26);
    EXPECT_EQ(number("$PQRV,27,x", true), ORVANTA_P27);
    EXPECT_EQ(number("$PQRV,31,x", false), 31);
    // No readable type: no signal at all.
    EXPECT_EQ(number("$PQRV", false), std::nullopt);
    EXPECT_EQ(number("$PQRV,,25", false), std::nullopt);
    EXPECT_EQ(number("$PQRV,x5,1", false), std::nullopt);
    EXPECT_EQ(number("$PQRV,99999999999,1", false), std::nullopt);

    std::string heave(13, 'x');
    heave[0] = static_cast<char>(0xAA);
    heave[1] = 'R';
    EXPECT_EQ(number(heave, true), ORVANTA_QHV);
    EXPECT_EQ(number(heave, false), 0) << "the P2X logger takes no heave datagrams";
}

// A sentence on a data port never stands for one of the machines' own signals:
// "$PQRV,50024" was the terminate sentence's signal and ended the whole process.
TEST(SensorDatagrams, NeverBecomeTheMachinesOwnSignals)
{
    for (const bool withHeave : { true, false }) {
        for (const char* sentence : { "$PQRV,50024,\r\n", "$PQRV,50171,x", "$PQRV,50174", "$PQRV,56101,x",
                                      "$PQRV,56103,x", "$PQRV,59352,x", "$PQRV,2147483647,x", "$PQRV,-2,x" }) {
            EXPECT_EQ(SensorSignalNumber(sentence, std::strlen(sentence), withHeave), std::nullopt) << sentence;
        }
        EXPECT_EQ(SensorSignalNumber("$PQRV,49999,x", 13, withHeave), 49999);
        EXPECT_EQ(SensorSignalNumber("$PQRV,0,x", 9, withHeave), 0);
    }
}

class P2XLoggerTest : public ::testing::Test {
protected:
    P2XLoggerTest()
        : m_dataPort(FreeUdpPort()),
          m_rig({ { "RUNT_PARAM_P2X_LOG_SOURCE_PORT", m_dataPort },
                  { "RUNT_PARAM_P2X_DIR", std::string("C:\\survey\\p2x") },
                  { "RUNT_PARAM_P2X_FILE", std::string("p2x.p2x") },
                  { "RUNT_PARAM_P2X_MAX_WAIT_TIME", 90 } })
    {
    }

    // A logger started and given its start sentence; the parameter row decides
    // whether it switches logging on by itself.
    CP2XLogger& StartedLogger()
    {
        m_logger = std::make_unique<CP2XLogger>("P2XLogger", &m_rig.trace, DEBUG_ALL, m_rig.Store());
        m_logger->Start(0);
        PutSentence(*m_logger, "$ZELIX,6,\n\r");
        EXPECT_TRUE(m_rig.WaitForTrace("JobWaitLogging"));
        return *m_logger;
    }

    void Send(const std::string& sentence, std::uint16_t port = 0)
    {
        m_sender.SendTo(port != 0 ? port : m_dataPort, sentence + "\r\n");
    }

    // The contents of the files of the folder, oldest first: the files moved
    // aside in name order (time suffix, then counter), the current one last.
    std::vector<std::string> Files() const
    {
        std::vector<std::string> contents;
        std::string current;
        for (const fs::path& file : FilesIn(m_rig.OnDriveC("survey/p2x"))) {
            if (file.filename() == "p2x.p2x") {
                current = testsupport::ReadFile(file);
            } else {
                contents.push_back(testsupport::ReadFile(file));
            }
        }
        contents.push_back(current);
        return contents;
    }
    bool WaitForFiles(const std::vector<std::string>& expected)
    {
        return WaitFor([&] { return Files() == expected; });
    }

    std::uint16_t m_dataPort;
    StatusListener m_status;
    Surroundings m_rig;
    UdpSocket m_sender;
    std::unique_ptr<CP2XLogger> m_logger;
};

std::string Lines(std::initializer_list<const char*> sentences)
{
    std::string text;
    for (const char* sentence : sentences) {
        text += std::string(sentence) + "\r\n";
    }
    return text;
}

// The demo row has logging selected: the logger starts by itself. Each distinct
// sentence is written once per file; a changed one starts the next file.
TEST_F(P2XLoggerTest, WritesEachSentenceOncePerFileAndStartsAFileOnEveryChange)
{
    CP2XLogger& logger = StartedLogger();
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobPrepLogging"));
    PutSentence(logger, "$ZELIX,173,C:\\survey\\p2x,p2x.p2x,30,\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobPrepLogging", 2));

    for (const char* sentence : { "$PQRV,25,1,a", "$PQRV,25,1,a", "$PQRV,25,2,b", "$PQRV,27,0,c", "$PQRV,24,1,x" }) {
        Send(sentence);
    }
    ASSERT_TRUE(WaitForFiles({ Lines({ "$PQRV,25,1,a", "$PQRV,25,2,b", "$PQRV,27,0,c" }) }));
    ASSERT_TRUE(m_status.WaitForCount(1));

    // A changed sentence closes the file and is the first line of the next;
    // the unchanged ones, forgotten, are written again.
    for (const char* sentence : { "$PQRV,25,1,A", "$PQRV,25,2,b", "$PQRV,27,0,c" }) {
        Send(sentence);
    }
    ASSERT_TRUE(WaitForFiles({ Lines({ "$PQRV,25,1,a", "$PQRV,25,2,b", "$PQRV,27,0,c" }),
                               Lines({ "$PQRV,25,1,A", "$PQRV,25,2,b", "$PQRV,27,0,c" }) }));

    // A different type-27 sentence does the same; three changes within a second
    // keep three files.
    for (const char* sentence : { "$PQRV,27,0,C", "$PQRV,26,4,d", "$PQRV,26,4,e", "$PQRV,26,4,f" }) {
        Send(sentence);
    }
    ASSERT_TRUE(WaitForFiles({ Lines({ "$PQRV,25,1,a", "$PQRV,25,2,b", "$PQRV,27,0,c" }),
                               Lines({ "$PQRV,25,1,A", "$PQRV,25,2,b", "$PQRV,27,0,c" }),
                               Lines({ "$PQRV,27,0,C", "$PQRV,26,4,d" }), Lines({ "$PQRV,26,4,e" }),
                               Lines({ "$PQRV,26,4,f" }) }));

    // Off and on again: the remembered sentences are kept, so the new file
    // stays empty for a known sentence; a different first sentence closes the
    // empty file and opens the next.
    PutSentence(logger, "$ZELIX,174,\n\r");
    ASSERT_TRUE(m_status.WaitForCount(6));
    PutSentence(logger, "$ZELIX,173,,,,\n\r");
    Send("$PQRV,26,4,f");
    ASSERT_TRUE(m_rig.WaitForTrace("Opened datagram log file", 6));
    Send("$PQRV,26,4,g");
    ASSERT_TRUE(WaitForFiles({ Lines({ "$PQRV,25,1,a", "$PQRV,25,2,b", "$PQRV,27,0,c" }),
                               Lines({ "$PQRV,25,1,A", "$PQRV,25,2,b", "$PQRV,27,0,c" }),
                               Lines({ "$PQRV,27,0,C", "$PQRV,26,4,d" }), Lines({ "$PQRV,26,4,e" }),
                               Lines({ "$PQRV,26,4,f" }), "", Lines({ "$PQRV,26,4,g" }) }));
    ASSERT_TRUE(m_status.WaitForCount(8));
    const std::vector<std::string> status = m_status.Sentences();
    EXPECT_EQ(status, std::vector<std::string>({ On, On, On, On, On, Off, On, On }));
}

// A sentence that did not fit on a full disk is written when it comes again
// once there is space, instead of counting as already in the file.
TEST_F(P2XLoggerTest, WritesASentenceThatDidNotFitOnAFullDiskWhenItComesAgain)
{
    const FullDisk disk;
    if (!disk.Mounted()) {
        GTEST_SKIP() << "a full disk needs a small tmpfs, and mounting one was refused: " << disk.Error();
    }
    const fs::path& folder = disk.Folder();
    const fs::path file = folder / "p2x.p2x";

    CP2XLogger& logger = StartedLogger();
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobPrepLogging"));
    PutSentence(logger, "$ZELIX,173," + folder.string() + ",p2x.p2x,30,\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobPrepLogging", 2));
    Send("$PQRV,25,1,a");
    ASSERT_TRUE(m_rig.WaitForTrace("ERROR: Writing to datagram log file"));
    EXPECT_EQ(testsupport::ReadFile(file), "");
    EXPECT_TRUE(WaitFor([&] { return m_rig.MessageTexts(1440).size() == 1; })) << "the message follows the trace line";

    disk.FreeSpare();
    for (const char* sentence : { "$PQRV,25,1,a", "$PQRV,25,1,a", "$PQRV,25,2,b" }) {
        Send(sentence);
    }
    EXPECT_TRUE(WaitFor([&] { return testsupport::ReadFile(file) == Lines({ "$PQRV,25,1,a", "$PQRV,25,2,b" }); }))
        << testsupport::ReadFile(file);
}

// The same without a small tmpfs to fill: a file-size limit on the process
// stops the file's growth instead. The file is first filled beyond the size of
// the system database, so that the limit leaves the database room for the
// message.
TEST_F(P2XLoggerTest, WritesASentenceThatDidNotFitUnderAFileSizeLimitWhenItComesAgain)
{
    const fs::path file = m_rig.OnDriveC("survey/p2x/p2x.p2x");
    CP2XLogger& logger = StartedLogger();
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobPrepLogging"));
    PutSentence(logger, "$ZELIX,173,C:\\survey\\p2x,p2x.p2x,30,\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("Job: JobPrepLogging", 2));
    std::string ballast;
    for (int key = 1; ballast.size() <= fs::file_size(m_rig.ConfigFolder() / "ntrx.db") + (1 << 16); ++key) {
        const std::string sentence = "$PQRV,26," + std::to_string(key) + "," + std::string(60000, 'b');
        ballast += Lines({ sentence.c_str() });
        Send(sentence);
        ASSERT_TRUE(WaitFor([&] { return testsupport::ReadFile(file).size() == ballast.size(); }));
    }

    std::optional<testsupport::ScopedFileSizeLimit> full(std::in_place, ballast.size() + 5);
    Send("$PQRV,25,1,a");
    ASSERT_TRUE(m_rig.WaitForTrace("ERROR: Writing to datagram log file"));
    EXPECT_EQ(testsupport::ReadFile(file), ballast) << "cut back to the last whole line";
    EXPECT_TRUE(WaitFor([&] { return m_rig.MessageTexts(1440).size() == 1; })) << "the message follows the trace line";

    full.reset();
    for (const char* sentence : { "$PQRV,25,1,a", "$PQRV,25,1,a", "$PQRV,25,2,b" }) {
        Send(sentence);
    }
    EXPECT_TRUE(WaitFor([&] {
        return testsupport::ReadFile(file) == ballast + Lines({ "$PQRV,25,1,a", "$PQRV,25,2,b" });
    }));
}

// A row without logging selected reports OFF and waits; a new port from a 173
// moves the receiver, and one that cannot be bound leaves it ready for the next.
TEST_F(P2XLoggerTest, WaitsWhenNotSelectedAndMovesItsDataPort)
{
    m_rig.Execute("UPDATE qhv_param SET logging_selected = 0 WHERE logger = 106");
    CP2XLogger& logger = StartedLogger();
    ASSERT_TRUE(m_status.WaitForCount(1));
    EXPECT_EQ(m_status.Sentences()[0], Off);
    EXPECT_EQ(logger.CurrentState(), CP2XLogger::WAIT_LOGGING);

    UdpSocket taken;  // bound without reuse-address: nobody else can bind it
    PutSentence(logger, "$ZELIX,173,,,," + std::to_string(taken.Port()) + "\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("bind to input port " + std::to_string(taken.Port())));

    const std::uint16_t moved = FreeUdpPort();
    PutSentence(logger, "$ZELIX,173,,,," + std::to_string(moved) + "\n\r");
    ASSERT_TRUE(m_rig.WaitForTrace("Logging starting"));
    Send("$PQRV,25,1,old");  // the first port is closed
    Send("$PQRV,25,1,new", moved);
    ASSERT_TRUE(WaitForFiles({ Lines({ "$PQRV,25,1,new" }) }));

    PutSentence(logger, "$ZELIX,24,\n\r");
    EXPECT_TRUE(WaitFor([] { return g_terminationSemaphore.tryacquire() == 0; }));
}

}  // namespace
