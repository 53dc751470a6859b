// Printf formats from the database: whenever PrintfFormatFits accepts a format
// for a list of values, the C library must read exactly values of those kinds
// for it. glibc's own parser (parse_printf_format, the one printf uses) says
// which argument types the format takes. The first input byte gives the number
// of values (0 to 7), the next bytes their kinds, the rest is the format.
#include "FuzzSupport.h"

#include "db/PrintfCheck.h"

#include <printf.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr const char* KindNames[] = { "Int", "Wide", "Double", "LongDouble", "Text", "Pointer" };

// Whether a value of `kind` is what printf reads for an argument of glibc type
// `type`. glibc 2.36 reports an integer conversion with 'q' ("%qd") as a plain
// int, yet printf reads a long long for it: with a 'q' in the format such an
// int may be a 64-bit value.
bool Matches(int type, PrintfArg kind, bool withQ)
{
    if ((type & PA_FLAG_PTR) != 0) {
        return false;  // %n: printf would write through it
    }
    const int base = type & ~PA_FLAG_MASK;
    switch (base) {
    case PA_INT:
        if ((type & (PA_FLAG_LONG | PA_FLAG_LONG_LONG)) != 0) {
            return kind == PrintfArg::Wide;
        }
        return kind == PrintfArg::Int || (withQ && (type & PA_FLAG_SHORT) == 0 && kind == PrintfArg::Wide);
    case PA_CHAR:
        return kind == PrintfArg::Int;
    case PA_STRING:
        return kind == PrintfArg::Text;
    case PA_POINTER:
        return kind == PrintfArg::Pointer || kind == PrintfArg::Text;
    case PA_DOUBLE:
        return kind == ((type & PA_FLAG_LONG_DOUBLE) != 0 ? PrintfArg::LongDouble : PrintfArg::Double);
    default:
        return false;  // wide characters and strings, float: never a value of ours
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t count = std::min<std::size_t>(data[0] % 8, size - 1);
    std::vector<PrintfArg> kinds;
    std::string listed;
    for (std::size_t i = 0; i < count; ++i) {
        kinds.push_back(static_cast<PrintfArg>(data[1 + i] % 6));
        listed += std::string(" ") + KindNames[data[1 + i] % 6];
    }
    const std::string bytes(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);
    const std::string format(bytes.c_str());  // a database text ends at its NUL

    if (!PrintfFormatFits(format.c_str(), kinds.data(), kinds.size())) {
        return 0;
    }
    const std::size_t needed = parse_printf_format(format.c_str(), 0, nullptr);
    FUZZ_CHECK(needed <= count, fuzzsupport::Shown(format) + " accepted for" + listed + " but takes " +
                                    std::to_string(needed) + " values");
    std::vector<int> types(needed);
    parse_printf_format(format.c_str(), needed, types.data());
    for (std::size_t i = 0; i < needed; ++i) {
        FUZZ_CHECK(Matches(types[i], kinds[i], format.find('q') != std::string::npos), fuzzsupport::Shown(format) + " accepted for" + listed +
                                                    " but value " + std::to_string(i + 1) + " is read as glibc type " +
                                                    std::to_string(types[i]));
    }
    return 0;
}
