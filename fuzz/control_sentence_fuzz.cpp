// Control sentences as they arrive on the control port: the signal number of a
// datagram (ControlSignalNumber) against a reading of field 2 with strtol, and
// the signal PutControlSignal queues for it (number, sender, a whole copy of the bytes).
#include "CapturingMachine.h"
#include "FuzzSupport.h"

#include "net/ControlSentence.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// Field 2 read as the C library reads a number; the talker rule and the range
// of the signal numbers on top.
std::optional<std::int32_t> Reference(const std::string& datagram)
{
    if (datagram.compare(0, 6, "$ZELIX") != 0) {
        return -1;
    }
    const std::size_t comma = datagram.find(',');
    if (comma == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t next = datagram.find(',', comma + 1);
    const std::string field = datagram.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(field.c_str(), &end, 10);
    if (end == field.c_str() || errno == ERANGE || value < INT32_MIN || value > INT32_MAX - 50000L) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value + 50000);
}

std::string Text(const std::optional<std::int32_t>& number)
{
    return number ? std::to_string(*number) : std::string("none");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string datagram(reinterpret_cast<const char*>(data), size);
    // An exact-size heap copy, so a read past the datagram's end is caught.
    char* bytes = size > 0 ? new char[size] : nullptr;
    if (size > 0) {
        std::memcpy(bytes, data, size);
    }

    const std::optional<std::int32_t> number = ControlSignalNumber(bytes, size);
    const std::optional<std::int32_t> expected = Reference(datagram);
    FUZZ_CHECK(number == expected, fuzzsupport::Shown(datagram) + " gave " + Text(number) + ", strtol " + Text(expected));

    fuzzsupport::CapturingMachine machine;
    const bool queued = PutControlSignal(bytes, size, &machine);
    // Only control sentences and non-control input reach the machine, never one of its own signals.
    const bool receivable = number && (*number == -1 || (*number >= 50000 && *number <= 51999));
    FUZZ_CHECK(queued == receivable && machine.count == (queued ? 1 : 0), fuzzsupport::Shown(datagram));
    if (queued) {
        FUZZ_CHECK(machine.number == *number && machine.sender == &machine && machine.back &&
                       machine.payload == (size > 0 ? datagram : std::string()),
                   fuzzsupport::Shown(datagram) + " queued as " + std::to_string(machine.number) + " with " +
                       fuzzsupport::Shown(machine.payload));
    }
    delete[] bytes;
    return 0;
}
