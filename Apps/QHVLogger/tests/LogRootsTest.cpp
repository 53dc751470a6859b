// The real program with QHV_LOG_ROOTS set, driven through the control port as
// a hostile host would: log folders that climb out of the root over folders
// not made yet, a NUL in the folder, a long run of "a\..\". Nothing may appear
// outside the root, the heave logger must keep answering, and a folder inside
// the root must still be logged to.
#include "ProcessFixture.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::ReadFile;
using testsupport::UdpSocket;
using testsupport::WaitFor;

namespace {

constexpr std::uint16_t ControlPort = 5076;
constexpr std::uint16_t HeavePort = 31102;

// A 13-byte heave datagram whose epoch (bytes 2 to 5) names the file.
std::string Heave(char fill)
{
    std::string datagram(13, fill);
    datagram[0] = '\xAA';
    datagram[1] = 'R';
    datagram[2] = 0x69, datagram[3] = 0x33, datagram[4] = 0x02, datagram[5] = 0x01;
    return datagram;
}

class LogRoots : public processtest::ProcessFixture {
protected:
    // Sends heave datagrams until the trace holds `text` `count` times.
    bool FeedUntilTraced(const std::string& text, std::size_t count = 1)
    {
        return WaitFor([&] {
            m_sender.SendTo(HeavePort, Heave('h'));
            return TraceCount(text) >= count;
        });
    }

    UdpSocket m_sender;
};

}  // namespace

TEST_F(LogRoots, HostileFoldersStayOutsideAndTheLoggerKeepsAnswering)
{
    UdpSocket status(4002);
    ChildProcess child(QHVLOGGER_BINARY, { "-debug", "31", "-noconsole" },
                       { "ProgramData=C:\\ProgramData", "QHV_LOG_ROOTS=" + OnDriveC("survey").string() });
    ASSERT_TRUE(WaitFor([&] { return TraceCount("JobPrepLogging") > 0; }, std::chrono::seconds(20)));
    const fs::path database = DatabaseFile().parent_path();

    // Toward the system database, over folders that do not exist.
    const std::string climbing = "C:\\survey\\new\\..\\..\\ProgramData\\Valdrena Marine\\ntrx\\ntrx.db-journal";
    m_sender.SendTo(ControlPort, "$ZELIX,170," + climbing + ",heave.qhv,30,\n\r");
    ASSERT_TRUE(FeedUntilTraced("Error: Not able to open file:\n\t       '" + climbing + "\\heave.qhv'"));
    EXPECT_GE(TraceCount("Error: Log-file path refused: not beneath any folder of QHV_LOG_ROOTS."), 1u);
    // The same with a NUL: the system calls would have stopped reading there.
    const std::string nul = "C:\\survey\\..\\ProgramData\\Valdrena Marine\\ntrx\\ntrx.db-journal" + std::string(1, '\0') +
                            "\\..\\..\\..\\..\\survey";
    m_sender.SendTo(ControlPort, "$ZELIX,170," + nul + ",heave.qhv,30,\n\r");
    ASSERT_TRUE(FeedUntilTraced("Error: Log-file path refused: control byte 0x00 at offset 61."));
    // The trace shows the path up to the NUL.
    EXPECT_TRUE(FeedUntilTraced("Error: Not able to open file:\n\t       'C:\\survey\\..\\ProgramData\\Valdrena Marine"
                                "\\ntrx\\ntrx.db-journal'\n"));
    EXPECT_TRUE(WaitFor([&] { return MessageCount(1410) >= 1; }));
    EXPECT_FALSE(fs::exists(database / "ntrx.db-journal"));
    EXPECT_FALSE(fs::exists(OnDriveC("new")));
    EXPECT_FALSE(fs::exists(OnDriveC("survey/new")));

    // A long run of "a\..\" is resolved at once: the logger opens its file and
    // answers the next command in time.
    std::string deep = "C:\\survey";
    for (int i = 0; i < 600; ++i) {
        deep += "\\a\\..";
    }
    m_sender.SendTo(ControlPort, "$ZELIX,170," + deep + ",deep.qhv,30,\n\r");
    ASSERT_TRUE(WaitFor([&] {
        m_sender.SendTo(HeavePort, Heave('d'));
        return ReadFile(OnDriveC("survey/deep.qhv")).size() >= 15;
    }));
    while (status.Receive(std::chrono::milliseconds(200))) {
    }
    m_sender.SendTo(ControlPort, "$ZELIX,171,\n\r");
    EXPECT_EQ(status.Receive(std::chrono::seconds(3)), std::optional<std::string>("$ZELIX,172,OFF\n\r"));
    EXPECT_FALSE(fs::exists(OnDriveC("survey/a")));

    // Inside the root everything works as before.
    m_sender.SendTo(ControlPort, "$ZELIX,170,C:\\Survey\\QHV,heave.qhv,30,\n\r");
    ASSERT_TRUE(WaitFor([&] {
        m_sender.SendTo(HeavePort, Heave('q'));
        return ReadFile(OnDriveC("survey/QHV/heave.qhv")).size() >= 3 * 15;
    }));
    const std::string records = ReadFile(OnDriveC("survey/QHV/heave.qhv"));
    EXPECT_EQ(records.substr(0, 15), std::string("\x0d\x00", 2) + Heave('q'));
    EXPECT_EQ(records.size() % 15, 0u);

    m_sender.SendTo(ControlPort, "$ZELIX,24,\n\r");
    const std::optional<int> ended = child.Ended();
    EXPECT_TRUE(ended && WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0);
    EXPECT_FALSE(fs::exists(database / "ntrx.db-journal"));
}
