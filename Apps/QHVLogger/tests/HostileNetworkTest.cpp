// The real program against datagrams from hosts that mean harm or make
// mistakes: logging commands that name ports of this process, sentences that
// would forge the machines' own signals, numbers that do not fit, a second
// QHVLogger on the same machine, and senders outside the allow-lists.
#include "LoggerRig.h"
#include "ProcessFixture.h"
#include "testsupport/UdpSocket.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using loggertest::FilesIn;
using loggertest::QhvRecords;
using processtest::EndedWithZero;
using processtest::ProcessFixture;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t ControlPort = 5076;
constexpr std::uint16_t HeavePort = 31102;
constexpr std::uint16_t P2xPort = 31202;
constexpr std::uint32_t SecondHost = 0x7F000002;  // 127.0.0.2

// All .qhv records under `folder`.
std::size_t RecordsIn(const fs::path& folder)
{
    std::size_t count = 0;
    for (const fs::path& file : FilesIn(folder)) {
        count += QhvRecords(file).size();
    }
    return count;
}

// The sequence numbers (bytes 6 to 9 of processtest::SequencedHeave) of the
// .qhv records under `folder`, in the order of the files' names and records.
std::vector<std::uint32_t> SequencesIn(const fs::path& folder)
{
    std::vector<fs::path> files = FilesIn(folder);
    std::sort(files.begin(), files.end());
    std::vector<std::uint32_t> sequences;
    for (const fs::path& file : files) {
        for (const std::string& record : QhvRecords(file)) {
            if (record.size() >= 10) {
                std::uint32_t sequence = 0;
                for (int i = 6; i < 10; ++i) {
                    sequence = sequence << 8 | static_cast<unsigned char>(record[i]);
                }
                sequences.push_back(sequence);
            }
        }
    }
    return sequences;
}

// Processor time the process has used, user and system, in clock ticks.
long CpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int number = 3; fields >> field; ++number) {
        if (number == 14) {
            utime = std::stol(field);
        } else if (number == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

class HostileNetwork : public ProcessFixture {
protected:
    std::unique_ptr<ChildProcess> StartLogger(std::vector<std::string> environment = {})
    {
        environment.push_back("ProgramData=C:\\ProgramData");
        auto child = std::make_unique<ChildProcess>(processtest::Binary,
                                                    std::vector<std::string> { "-debug", "31", "-noconsole" },
                                                    environment);
        EXPECT_TRUE(WaitUntilRunning());
        return child;
    }

    // Heave logging on into C:\survey\<folder>, and the datagrams fed until
    // the file holds `count` records.
    bool LogHeave(const UdpSocket& sender, const std::string& folder, std::size_t count)
    {
        sender.SendTo(ControlPort, "$ZELIX,170,C:\\survey\\" + folder + ",heave.qhv,30,\n\r");
        std::uint32_t sequence = 0;
        return WaitFor([&] {
            sender.SendTo(HeavePort, processtest::SequencedHeave(sequence++));
            return RecordsIn(OnDriveC("survey/" + folder)) >= count;
        });
    }
};

}  // namespace

// A logging command may name any port for its sensor, but not one that this
// process itself listens or reports on: the data port stays where it was, the
// control port keeps its sentences, the other logger its datagrams.
TEST_F(HostileNetwork, ALoggingCommandCannotTakeAPortOfThisProcess)
{
    UdpSocket sender;
    auto child = StartLogger();
    ASSERT_TRUE(LogHeave(sender, "before", 1));

    sender.SendTo(ControlPort, "$ZELIX,170,C:\\survey\\a,heave.qhv,30,5076\n\r");
    sender.SendTo(ControlPort, "$ZELIX,170,C:\\survey\\a,heave.qhv,30,4002\n\r");
    sender.SendTo(ControlPort, "$ZELIX,170,C:\\survey\\a,heave.qhv,30,31202\n\r");
    sender.SendTo(ControlPort, "$ZELIX,173,C:\\survey\\p2x,p2x.p2x,30,31102\n\r");
    sender.SendTo(ControlPort, "$ZELIX,173,C:\\survey\\p2x,p2x.p2x,30,5076\n\r");
    ASSERT_TRUE(WaitFor([&] { return TraceCount("ignored, data port stays on") == 5; })) << TraceText();
    EXPECT_EQ(TraceCount("Warning: Source port 5076 is the control port or the other logger's data port; "
                         "ignored, data port stays on 31102."),
              1u);
    EXPECT_EQ(TraceCount("Warning: Source port 4002 is the operator-status port; ignored, data port stays on 31102."),
              1u);

    // Both loggers still receive on their own ports, and the supervisor on its.
    ASSERT_TRUE(LogHeave(sender, "after", 3));
    ASSERT_TRUE(WaitFor([&] {
        sender.SendTo(P2xPort, "$PQRV,25,1,abc*00\r\n");
        return !FilesIn(OnDriveC("survey/p2x")).empty();
    }));
    loggertest::StatusListener status;
    sender.SendTo(ControlPort, "$ZELIX,171,\n\r");
    ASSERT_TRUE(status.WaitForCount(1));
    EXPECT_EQ(status.Sentences().front(), "$ZELIX,172,OFF\n\r");
    sender.SendTo(ControlPort, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}

// Sentences whose numbers are the machines' own signals (the watchdog's tick,
// the termination protocol, database results, timers, sensor data) are
// dropped at the control port: nothing runs, the trace says so once a second
// at most, and the process stays idle.
TEST_F(HostileNetwork, SentencesCannotForgeTheMachinesOwnSignals)
{
    UdpSocket sender;
    auto child = StartLogger();
    const std::vector<std::string> forged = { "4020", "4005", "4013", "4014", "2001", "2002",
                                              "6101", "6102", "6103", "9352", "10042", "-50002" };
    // The start's last lines (the loggers' timers) are written before the mark.
    std::size_t mark = 0;
    ASSERT_TRUE(WaitFor([&] {
        const std::size_t size = TraceText().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        mark = TraceText().size();
        return mark == size;
    }));
    const long cpuBefore = CpuTicks(child->Pid());
    for (int round = 0; round < 20; ++round) {
        for (const std::string& number : forged) {
            sender.SendTo(ControlPort, "$ZELIX," + number + ",\n\r");
        }
    }
    const std::string dropped = "dropped: its number is one of the machines' own signals";
    ASSERT_TRUE(WaitFor([&] { return TraceCount(dropped) > 0; }));
    // Had any arrived, a dispatch line would name it; a forged watchdog tick
    // would re-arm itself at every timer tick from then on.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::string settled = TraceText();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(TraceText().size(), settled.size()) << "the trace goes on:\n" << TraceText().substr(settled.size());
    const std::string since = settled.substr(mark);
    for (const char* name : { "WATCHDOG_TICK", "TERMINATED", "TERM_EXPIRED", "FINISH_TERM", "DB_READ", "TIMEOUT",
                              "ERROR_NO_LOGFILE", "ORVANTA_QHV", "INPUT_FREQ_REPORT", "JobDisregardSig" }) {
        EXPECT_EQ(since.find(name), std::string::npos) << name << " in\n" << since;
    }
    EXPECT_LE(TraceCount(dropped), 2u) << "once a second at most";
    EXPECT_NE(since.find("Warn: Control sentence 4020 dropped"), std::string::npos) << since;
    EXPECT_LT(CpuTicks(child->Pid()) - cpuBefore, 30) << "clock ticks of processor time in about 3 s";

    sender.SendTo(ControlPort, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}

// A number too large for its field takes the token instead, as an empty field
// does, and says so: the interval of 9999999999 minutes is not 0, so the file
// is not closed at every timer tick.
TEST_F(HostileNetwork, ANumberThatDoesNotFitTakesItsToken)
{
    UdpSocket sender;
    auto child = StartLogger();
    sender.SendTo(ControlPort, "$ZELIX,170,C:\\survey\\qhv,heave__TOKS_.qhv,9999999999,\n\r");
    ASSERT_TRUE(WaitFor([&] {
        sender.SendTo(HeavePort, processtest::SequencedHeave(0));
        return RecordsIn(OnDriveC("survey/qhv")) > 0;
    }));
    const std::size_t first = RecordsIn(OnDriveC("survey/qhv"));
    for (std::uint32_t sequence = 1; sequence <= 30; ++sequence) {
        sender.SendTo(HeavePort, processtest::SequencedHeave(sequence));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(WaitFor([&] { return RecordsIn(OnDriveC("survey/qhv")) >= first + 30; }))
        << RecordsIn(OnDriveC("survey/qhv")) << " records after " << first << "\n" << TraceText();
    EXPECT_EQ(FilesIn(OnDriveC("survey/qhv")).size(), 1u) << "one file over 1.5 s";
    EXPECT_EQ(TraceCount("Warning: Field 5 '9999999999' does not fit its number; the token "
                         "RUNT_PARAM_QHV_INTERVAL_TIME is used."),
              1u);
    sender.SendTo(ControlPort, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}

// A second QHVLogger under another name (so another control port) claims the
// data ports too: it finds them taken and says so, and every datagram still
// reaches the first process.
TEST_F(HostileNetwork, ASecondProcessGetsNoneOfTheFirstsDatagrams)
{
    UdpSocket sender;
    auto first = StartLogger();
    ASSERT_TRUE(LogHeave(sender, "first", 1));

    // Without a property file of its own: its trace goes to standard error.
    ChildProcess second(processtest::Binary, { "-name", "QHVLOGGER_CMD", "-debug", "31" },
                        { "ProgramData=C:\\Other" });
    ASSERT_TRUE(WaitFor([&] {
        return second.Err().find("Error: no data port 31102: another QHVLogger process listens on it") !=
                   std::string::npos &&
               second.Err().find("Error: no data port 31202: another QHVLogger process listens on it") !=
                   std::string::npos;
    }, std::chrono::seconds(20))) << second.Err();

    const std::size_t before = RecordsIn(OnDriveC("survey/first"));
    for (std::uint32_t sequence = 0; sequence < 100; ++sequence) {
        sender.SendTo(HeavePort, processtest::SequencedHeave(sequence));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(WaitFor([&] { return RecordsIn(OnDriveC("survey/first")) == before + 100; }));

    second.Signal(SIGTERM);
    EXPECT_TRUE(EndedWithZero(second.Ended()));
    sender.SendTo(ControlPort, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(first->Ended()));
}

// With allow-lists set, control sentences and sensor data from other hosts
// are dropped before they become signals; the named hosts are served as ever.
TEST_F(HostileNetwork, AllowListsDropStrangersAndKeepFriends)
{
    UdpSocket friendly;
    UdpSocket stranger(0, SecondHost);
    auto child = StartLogger({ "QHV_CONTROL_FROM=127.0.0.1", "QHV_SENSOR_FROM=10.0.0.0/8, 127.0.0.1/32,bogus" });
    ASSERT_NE(TraceText().find("Warn: QHV_SENSOR_FROM: 'bogus' is no IPv4 address or prefix; it allows no sender"),
              std::string::npos);

    stranger.SendTo(ControlPort, "$ZELIX,170,C:\\survey\\stranger,heave.qhv,30,\n\r");
    ASSERT_TRUE(WaitFor([&] { return TraceCount("dropped: sender not in QHV_CONTROL_FROM") > 0; }));
    ASSERT_TRUE(LogHeave(friendly, "friend", 5));
    constexpr std::uint32_t StrangerSequences = 5000;
    for (std::uint32_t sequence = 0; sequence < 20; ++sequence) {
        stranger.SendTo(HeavePort, processtest::SequencedHeave(StrangerSequences + sequence));
        stranger.SendTo(P2xPort, "$PQRV,25,9,stranger*00\r\n");
    }
    ASSERT_TRUE(WaitFor([&] { return TraceCount("dropped: sender not in QHV_SENSOR_FROM") >= 2; }));
    // The friend's datagram after them is written, and none of theirs before it
    // (the friend's own may still be coming in: it sent until it saw five).
    friendly.SendTo(HeavePort, processtest::SequencedHeave(1000));
    std::vector<std::uint32_t> sequences;
    EXPECT_TRUE(WaitFor([&] {
        sequences = SequencesIn(OnDriveC("survey/friend"));
        return !sequences.empty() && sequences.back() == 1000;
    }));
    EXPECT_TRUE(std::none_of(sequences.begin(), sequences.end(),
                             [](std::uint32_t sequence) { return sequence >= StrangerSequences; }))
        << "the stranger's datagrams came in between";
    EXPECT_FALSE(fs::exists(OnDriveC("survey/stranger")));
    EXPECT_EQ(TraceText().find("stranger*00"), std::string::npos);

    stranger.SendTo(ControlPort, "$ZELIX,24,\n\r");
    EXPECT_FALSE(child->Ended(std::chrono::milliseconds(500)));
    friendly.SendTo(ControlPort, "$ZELIX,24,\n\r");
    EXPECT_TRUE(EndedWithZero(child->Ended()));
}
