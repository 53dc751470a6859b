#include "platform/Time.h"

#include <chrono>
#include <thread>

namespace platform {

SystemTime Now()
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return SystemTime { now.tv_sec, static_cast<int>(now.tv_nsec / 1000000) };
}

std::tm UtcTime(std::time_t seconds)
{
    std::tm broken {};
    ::gmtime_r(&seconds, &broken);
    return broken;
}

std::tm LocalTime(std::time_t seconds)
{
    std::tm broken {};
    ::localtime_r(&seconds, &broken);
    return broken;
}

void SleepMs(std::int64_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
