// Datagrams as they arrive on a logger's data port: their classification
// (SensorSignalNumber, heave by length and leading bytes, $PQRV by the number in
// field 2), the signal QueueSensorDatagram queues, and SentenceField against a
// plain split of the first line at its commas. Whatever a sensor sends, it must
// never become one of the machines' own signals (a control sentence, a timer,
// an internal signal): only a datagram kind, or a number below them.
#include "CapturingMachine.h"
#include "FuzzSupport.h"

#include "QHVLogger/LoggerShared.h"
#include "QHVLogger/LoggerStatistics.h"
#include "fsm/SignalNames.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {


std::optional<std::int32_t> ReferenceNumber(const std::string& datagram, bool withHeave)
{
    if (datagram.compare(0, 5, "$PQRV") == 0) {
        const std::vector<std::string> fields = fuzzsupport::Fields(datagram);
        if (fields.size() < 2) {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        const long type = std::strtol(fields[1].c_str(), &end, 10);
        if (end == fields[1].c_str() || errno == ERANGE || type < INT32_MIN || type > INT32_MAX) {
            return std::nullopt;
        }
        switch (type) {
        case 25: return ORVANTA_P25;
        case 26: return ORVANTA_P26;
        case 27: return ORVANTA_P27;
        default: return type >= 0 && type < 50000 ? std::optional<std::int32_t>(type) : std::nullopt;
        }
    }
    const auto heave = [&](std::size_t length, char kind) {
        return datagram.size() == length && datagram[0] == '\xAA' && datagram[1] == kind && datagram[4] != '#';
    };
    if (!withHeave) {
        return 0;
    }
    return heave(13, 'R') ? ORVANTA_QHV : heave(52, 'S') ? ORVANTA_QHV26 : heave(44, 'Q') ? ORVANTA_BIN : 0;
}

std::string Text(const std::optional<std::int32_t>& number)
{
    return number ? std::to_string(*number) : std::string("none");
}

// The machines' own signals are negative (timers, wake-up) or from 50000 on
// (control sentence n is 50000 + n); of those only the datagram kinds may come
// from a data port.
bool MaySensorGive(std::int32_t number)
{
    return (number >= 0 && number < 50000) || (number >= ORVANTA_BIN && number <= ORVANTA_P27);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string datagram(reinterpret_cast<const char*>(data), size);
    char* bytes = size > 0 ? new char[size] : nullptr;  // exact size: reads past the end are caught
    if (size > 0) {
        std::memcpy(bytes, data, size);
    }

    for (const bool withHeave : { true, false }) {
        const std::optional<std::int32_t> number = SensorSignalNumber(bytes, size, withHeave);
        FUZZ_CHECK(!number || MaySensorGive(*number),
                   fuzzsupport::Shown(datagram) + " from a data port became signal " + Text(number));
        const std::optional<std::int32_t> expected = ReferenceNumber(datagram, withHeave);
        FUZZ_CHECK(number == expected, fuzzsupport::Shown(datagram) + (withHeave ? " (heave)" : "") + " gave " +
                                           Text(number) + ", expected " + Text(expected));

        fuzzsupport::CapturingMachine machine;
        LoggerStatistics statistics;
        QueueSensorDatagram(machine, bytes, size, withHeave, statistics);
        FUZZ_CHECK(machine.count == (number ? 1 : 0), fuzzsupport::Shown(datagram));
        if (number) {
            FUZZ_CHECK(machine.number == *number && machine.sender == &machine && machine.back &&
                           machine.payload == datagram,
                       fuzzsupport::Shown(datagram) + " queued as " + std::to_string(machine.number));
        }
    }

    // The first fields, the last one and the first one missing.
    const std::vector<std::string> fields = fuzzsupport::Fields(datagram);
    const int count = static_cast<int>(fields.size());
    for (int number = 1; number <= count + 1; number = number == 12 && count > 13 ? count : number + 1) {
        const std::optional<std::string_view> field = SentenceField(std::string_view(bytes, size), number);
        const bool exists = number <= count;
        FUZZ_CHECK(field.has_value() == exists && (!exists || *field == fields[number - 1]),
                   fuzzsupport::Shown(datagram) + " field " + std::to_string(number) + ": " +
                       (field ? fuzzsupport::Shown(std::string(*field)) : "none"));
    }
    delete[] bytes;
    return 0;
}
