// The real process flooded on every port while the heave logger is kept busy
// by a stream of logging commands: its memory stays within what the queue
// bounds allow, the drops are traced at most once a second and reported once
// per episode, and afterwards it still answers and ends with exit code 0.
#include "ProcessFixture.h"
#include "testsupport/UdpSocket.h"

#include "fsm/FsmQueueLoad.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using processtest::Occurrences;
using testsupport::ChildProcess;
using testsupport::UdpSocket;
using testsupport::WaitFor;

namespace {

constexpr std::uint16_t ControlPort = 5076;
constexpr std::uint16_t HeavePort = 31102;
constexpr std::uint16_t P2xPort = 31202;
constexpr auto FloodTime = 6s;
constexpr std::size_t Largest = 65000;  // a junk datagram, near the largest UDP payload

// What the three external queues may hold, with room for the allocator's own
// bytes per signal and for relayed commands, which one queue's worth can
// overrun a logger's bound (the supervisor holds back only once it is full).
constexpr std::size_t QueueMemory = ExternalQueueByteBound + ExternalQueueSignalBound * 128;
constexpr std::size_t FloodMemoryBound = 4 * QueueMemory + (64U << 20);

// A value of /proc/<pid>/status in bytes ("VmRSS", "VmHWM"); 0 when unreadable.
std::size_t StatusBytes(pid_t pid, const std::string& key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stoull(line.substr(key.size() + 1)) * 1024;
        }
    }
    return 0;
}

// Senders, each from a thread and socket of its own, until stopped.
class Flood {
public:
    void Add(std::function<void(const UdpSocket&, std::uint32_t)> send)
    {
        m_threads.emplace_back([this, send] {
            const UdpSocket socket;
            for (std::uint32_t n = 0; !m_stop; ++n) {
                send(socket, n);
            }
        });
    }
    ~Flood() { Stop(); }
    void Stop()
    {
        m_stop = true;
        for (auto& thread : m_threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

private:
    std::atomic<bool> m_stop { false };
    std::vector<std::thread> m_threads;
};

class FloodFixture : public processtest::ProcessFixture {};

}  // namespace

TEST_F(FloodFixture, EveryPortFloodedStaysWithinTheBoundsAndTheProcessAnswersAfterwards)
{
    UdpSocket status(4002);
    UdpSocket control;
    // Under AddressSanitizer freed blocks wait in a quarantine (256 MiB by
    // default) that would count as the process's own: keep it small.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions =
        "ASAN_OPTIONS=" + std::string(sanitizer != nullptr ? sanitizer : "") + ":quarantine_size_mb=8";
    // Data lines only: the drop lines and the episode reports, without a line per dispatch.
    ChildProcess child(QHVLOGGER_BINARY, { "-debug", "8", "-noconsole" },
                       { "ProgramData=C:\\ProgramData", asanOptions });
    const std::string heaveOn = "$ZELIX,170,C:\\survey\\qhv,flood.qhv,30,\n\r";
    // The supervisor takes the command once it supervises: repeated until the heave file is there.
    ASSERT_TRUE(WaitFor([&] {
        control.SendTo(ControlPort, heaveOn);
        control.SendTo(HeavePort, processtest::SequencedHeave(0));
        std::this_thread::sleep_for(200ms);
        return std::filesystem::exists(OnDriveC("survey/qhv/flood.qhv"));
    }, 30s)) << child.Err();
    const std::size_t before = StatusBytes(child.Pid(), "VmRSS");
    ASSERT_GT(before, 0U);

    // Every logging command has the heave logger set its rate supervision up
    // anew (it waits for the old one's thread): tens of milliseconds a
    // command, while the data floods in behind it. Large heave-off commands,
    // which the supervisor relays, flood in too. The data lead to no new files,
    // which would slow the loggers down by the folder's growth rather than by
    // the flood: heave-sized datagrams marked as no heave ('#' at offset 4),
    // one $PQRV sentence over and over, junk of near the largest size.
    const std::string junk(Largest, 'j');
    const std::string unknown = "$ZELIX,999," + std::string(Largest - 20, 'u') + "\n\r";
    const std::string heaveOff = "$ZELIX,171," + std::string(Largest - 20, 'o') + "\n\r";
    const auto notHeave = [](std::uint32_t n) {
        std::string bytes = processtest::SequencedHeave(n);
        bytes[4] = '#';
        return bytes;
    };
    std::atomic<std::size_t> peak { 0 };
    {
        Flood flood;
        flood.Add([&](const UdpSocket& socket, std::uint32_t) {
            socket.SendTo(ControlPort, heaveOn);
            std::this_thread::sleep_for(40ms);
        });
        flood.Add([&](const UdpSocket& socket, std::uint32_t n) {
            socket.SendTo(ControlPort, n % 2 == 0 ? junk : unknown);
        });
        flood.Add([&](const UdpSocket& socket, std::uint32_t) { socket.SendTo(ControlPort, heaveOff); });
        flood.Add([&](const UdpSocket& socket, std::uint32_t n) {
            socket.SendTo(HeavePort, n % 4 == 0 ? junk : notHeave(n));
        });
        flood.Add([&](const UdpSocket& socket, std::uint32_t n) {
            socket.SendTo(P2xPort, n % 4 == 0 ? junk : "$PQRV,25,1,abc*00\r\n");
        });
        // Watch the memory the whole time; a process beyond the bound stops the flood at once.
        const auto end = std::chrono::steady_clock::now() + FloodTime;
        while (std::chrono::steady_clock::now() < end && peak < before + FloodMemoryBound) {
            peak = std::max<std::size_t>(peak, StatusBytes(child.Pid(), "VmRSS"));
            child.Err();  // keep its standard error flowing
            std::this_thread::sleep_for(20ms);
        }
    }
    const std::size_t highWater = StatusBytes(child.Pid(), "VmHWM");
    std::cout << "VmRSS before the flood " << (before >> 20) << " MiB, highest seen " << (peak >> 20)
              << " MiB, VmHWM " << (highWater >> 20) << " MiB, bound " << (FloodMemoryBound >> 20) << " MiB"
              << std::endl;
    EXPECT_LT(highWater, before + FloodMemoryBound);

    // Afterwards the process answers, each command repeated as it may meet a
    // queue that is still full. Heave logging on: the flood held no heave
    // data, so its answer comes only once everything queued before is done ...
    const auto received = [&](const std::string& wanted) {
        bool seen = false;
        for (auto sentence = status.Receive(1s); sentence && !seen; sentence = status.Receive(1s)) {
            seen = *sentence == wanted;
        }
        child.Err();
        return seen;
    };
    while (status.Receive(100ms)) {
    }
    ASSERT_TRUE(WaitFor([&] {
        control.SendTo(ControlPort, heaveOn);
        control.SendTo(HeavePort, processtest::SequencedHeave(1));
        return received("$ZELIX,172,ON\n\r");
    }, 180s)) << "no $ZELIX,172,ON after the flood";
    // ... and off.
    ASSERT_TRUE(WaitFor([&] {
        control.SendTo(ControlPort, "$ZELIX,171,\n\r");
        return received("$ZELIX,172,OFF\n\r");
    }, 60s)) << "no $ZELIX,172,OFF after the flood";

    // ... the heave logger dropped data and said so once per episode, in the
    // trace at most once a second, to the operator once ...
    const std::string trace = TraceText();
    const std::size_t heaveDrops = Occurrences(trace, "dropped by QHVLOGGER, queue full");
    const std::size_t heaveEpisodes = Occurrences(trace, "Input queue full; heave data dropped");
    EXPECT_GE(heaveDrops, 1U);
    EXPECT_GE(heaveEpisodes, 1U);
    EXPECT_LE(heaveDrops, heaveEpisodes + std::chrono::seconds(FloodTime).count() + 5);
    // Each episode ends once the queue has drained (the last one may be ending still).
    const std::size_t heaveEnds = Occurrences(trace, "QHVLOGGER takes input again");
    EXPECT_LE(heaveEnds, heaveEpisodes);
    EXPECT_GE(heaveEnds + 1, heaveEpisodes);
    // A message repeated within 10 s is recorded once.
    EXPECT_GE(MessageCount(1416), 1);
    EXPECT_LE(MessageCount(1416), static_cast<int>(heaveEpisodes));
    // ... and so did the supervisor, which held the commands back meanwhile.
    const std::size_t controlEpisodes = Occurrences(trace, "Control queue full; control sentences dropped");
    EXPECT_GE(controlEpisodes, 1U);
    EXPECT_LE(Occurrences(trace, "dropped by ORVANTA_CTRL, queue full"),
              controlEpisodes + std::chrono::seconds(FloodTime).count() + 5);
    EXPECT_GE(MessageCount(1437), 1);
    EXPECT_LE(MessageCount(1437), static_cast<int>(controlEpisodes));
    EXPECT_LE(MessageCount(1445), static_cast<int>(Occurrences(trace, "Input queue full; P2X data dropped")));

    std::optional<int> code;
    WaitFor([&] {
        control.SendTo(ControlPort, "$ZELIX,24,\n\r");
        code = child.ExitCode(2s);
        return code.has_value();
    }, 60s);
    ASSERT_TRUE(code.has_value()) << "still running; the trace ends:\n" << TraceText().substr(TraceText().size() - 3000);
    EXPECT_EQ(*code, 0);
}
