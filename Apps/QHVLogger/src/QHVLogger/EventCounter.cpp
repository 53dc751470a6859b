// Input frequency supervision of the heave logger: the parts that do not depend
// on the owner's type.
#include "QHVLogger/EventCounter.h"

#include <time.h>

#include <cmath>
#include <cstring>

CTRXSignal* NewFrequencyReportSignal(CFsmBase* sender, const FrequencyReport& report)
{
    // A char array, so that the framework's delete[] of the payload is right.
    char* payload = new char[sizeof(FrequencyReport)];
    std::memcpy(payload, &report, sizeof(FrequencyReport));
    CTRXSignal* signal = new CTRXSignal(INPUT_FREQ_REPORT, sender, payload, sizeof(FrequencyReport));
    payload = nullptr;  // the signal owns it
    return signal;
}

std::optional<FrequencyReport> ReadFrequencyReport(const CTRXSignal& signal)
{
    if (signal.Payload() == nullptr || signal.Length() != static_cast<std::int32_t>(sizeof(FrequencyReport))) {
        return std::nullopt;
    }
    FrequencyReport report;
    std::memcpy(&report, signal.Payload(), sizeof(FrequencyReport));
    return report;
}

int AllowedExpectedCount(int windowMs, int expectedCount)
{
    // Whole seconds; a window under one second gets no allowance.
    const int seconds = windowMs / 1000;
    if (windowMs < 1 || windowMs > 20999 || seconds < 1 || expectedCount / seconds > 1) {
        return expectedCount;
    }
    const int allowed = expectedCount - 3 * static_cast<int>(std::trunc(expectedCount / 10.0));
    return allowed > 0 ? allowed : expectedCount;
}

long long ElapsedMs(const ACE_Time_Value& from, const ACE_Time_Value& to)
{
    // ACE keeps seconds and microseconds of a difference with the same sign.
    const ACE_Time_Value difference = to - from;
    return static_cast<long long>(difference.sec()) * 1000 + difference.usec() / 1000;
}

ACE_Time_Value MonotonicClockNow()
{
    // Windows and pauses are elapsed times: a step of the system time (by hand,
    // or by the time service after the vessel's clock drifted) must neither
    // stretch a window by the step nor end it early.
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return ACE_Time_Value(now);
}
