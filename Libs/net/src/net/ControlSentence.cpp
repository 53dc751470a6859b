#include "net/ControlSentence.h"

#include "fsm/FsmBase.h"
#include "fsm/FsmSignal.h"
#include "fsm/SignalNames.h"

#include <cstring>
#include <limits>

namespace {

constexpr std::size_t TalkerLength = sizeof ControlTalker - 1;

bool IsBlank(char c)
{
    // The white space that strtol skips in the C locale.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::int32_t> ControlSignalNumber(const char* bytes, std::size_t length)
{
    if (bytes == nullptr || length < TalkerLength || std::memcmp(bytes, ControlTalker, TalkerLength) != 0) {
        return FSM_TIMEHANDL;
    }

    // Field 2 runs from the first comma to the next comma or the end of the datagram.
    const char* end = bytes + length;
    const char* field = static_cast<const char*>(std::memchr(bytes, ',', length));
    if (field == nullptr) {
        return std::nullopt;
    }
    ++field;
    const char* fieldEnd = static_cast<const char*>(std::memchr(field, ',', static_cast<std::size_t>(end - field)));
    if (fieldEnd == nullptr) {
        fieldEnd = end;
    }

    const char* p = field;
    while (p < fieldEnd && IsBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (p < fieldEnd && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == fieldEnd || !IsDigit(*p)) {
        return std::nullopt;
    }

    // Accumulate in 64 bits; once the magnitude leaves the 32-bit range the value
    // can only be rejected, so stop growing it there.
    constexpr std::int64_t Limit = std::int64_t{ std::numeric_limits<std::int32_t>::max() } + ControlSignalBase + 1;
    std::int64_t magnitude = 0;
    for (; p < fieldEnd && IsDigit(*p); ++p) {
        if (magnitude <= Limit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    const std::int64_t number = value + ControlSignalBase;
    if (number > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(number);
}

bool IsReceivableControlSignal(std::int32_t number)
{
    return number == FSM_TIMEHANDL ||
           (number >= ControlSignalBase && number <= ControlSignalBase + LastControlSentence);
}

bool PutControlSignal(const char* bytes, std::size_t length, CFsmBase* target)
{
    if (target == nullptr || length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return false;
    }
    const std::optional<std::int32_t> number = ControlSignalNumber(bytes, length);
    if (!number || !IsReceivableControlSignal(*number)) {
        return false;
    }
    const auto payloadLength = static_cast<std::int32_t>(length);
    CTRXSignal* signal = new CTRXSignal(*number, target, CopyPayload(bytes, payloadLength), payloadLength);
    return target->PutExternalBounded(&signal);  // queued or, past the queue's bound, dropped
}

std::string StartSentence() { return "$ZELIX,6,\n\r"; }

std::string TerminateSentence() { return "$ZELIX,24,\n\r"; }

std::string MessageNotifySentence() { return "$ZELIX,32\n\r"; }

std::string StatusSentence(int number, bool on)
{
    return std::string(ControlTalker) + "," + std::to_string(number) + "," + (on ? "ON" : "OFF") + "\n\r";
}

std::string P2XStartSentence(const std::string& directory, const std::string& fileName,
                             const std::string& interval, long port)
{
    return std::string(ControlTalker) + ",173," + directory + "," + fileName + "," + interval + "," +
           std::to_string(port) + "\n\r";
}

std::string HeaveStartSentence(const std::string& directory, const std::string& fileTemplate,
                               const std::string& interval, long port)
{
    return std::string(ControlTalker) + ",170," + directory + "," + fileTemplate + "," + interval + "," +
           (port > 0 ? std::to_string(port) : std::string()) + "\n\r";
}
