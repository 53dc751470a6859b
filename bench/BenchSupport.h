// What the benchmarks share: paced sending, the heave datagram they send, and
// waiting for a file to stop growing. Used from the benchmark's main thread.
#pragma once

#include "formats/HeaveDatagram.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr std::size_t HeaveBytes = formats::ShortHeaveLength;

// A 13-byte heave datagram with `epoch`; bytes 6..9 carry a counter.
struct HeaveDatagram {
    explicit HeaveDatagram(std::uint32_t epoch)
    {
        bytes[0] = formats::HeaveStartByte;
        bytes[1] = 'R';
        for (int i = 0; i < 4; ++i) {
            bytes[2 + i] = static_cast<unsigned char>(epoch >> (24 - 8 * i));
        }
    }
    void Number(long n) { std::memcpy(bytes + 6, &n, 4); }
    unsigned char bytes[HeaveBytes] = {};
};

// Sends `count` items at `rate` per second, paced against the clock: each
// round sends what is due, then `flush` (if given) hands the round's items to
// the kernel together, then the sender sleeps briefly. At low rates a round
// holds one item, so each leaves on time; at high rates a round holds many.
// `send(i)` sends or queues item i. Returns the seconds the sending took.
inline double SendPaced(long rate, long count, const std::function<void(long)>& send,
                        const std::function<void()>& flush = {})
{
    const auto start = Clock::now();
    long sent = 0;
    while (sent < count) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const long due = std::min(count, static_cast<long>(elapsed * static_cast<double>(rate)) + 1);
        for (; sent < due; ++sent) {
            send(sent);
        }
        if (flush) {
            flush();
        }
        if (sent < count) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline std::uintmax_t FileSize(const std::filesystem::path& file)
{
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? static_cast<std::uintmax_t>(info.st_size) : 0;
}

// Waits until the file has stopped growing for half a second; gives its size.
inline std::uintmax_t SettledSize(const std::filesystem::path& file)
{
    std::uintmax_t last = FileSize(file);
    auto stableSince = Clock::now();
    while (Clock::now() - stableSince < std::chrono::milliseconds(500)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::uintmax_t now = FileSize(file);
        if (now != last) {
            last = now;
            stableSince = Clock::now();
        }
    }
    return last;
}

}  // namespace bench
