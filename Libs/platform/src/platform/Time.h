// System time with sub-second resolution, broken-down UTC and local time, and
// sleeps. Callable from any thread.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

struct SystemTime {
    std::time_t seconds = 0;  // seconds since 1970 (UTC)
    int milliseconds = 0;     // 0 .. 999 within that second
};

SystemTime Now();
std::tm UtcTime(std::time_t seconds);
std::tm LocalTime(std::time_t seconds);
void SleepMs(std::int64_t milliseconds);

}  // namespace platform
