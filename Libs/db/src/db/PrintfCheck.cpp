#include "db/PrintfCheck.h"

#include <cstring>

static_assert(sizeof(long) == 8 && sizeof(long long) == 8 && sizeof(std::size_t) == 8,
              "the length modifiers l, ll, j, z and t are taken as 64-bit");

namespace {

// Long is a single 'l'; Wide the other 64-bit modifiers (ll, j, z, t, q).
enum class Length { None, Short, Long, Wide, LongDouble };

class ArgumentList {
public:
    ArgumentList(const PrintfArg* args, std::size_t count) : m_args(args), m_count(count) {}

    // Takes the next value; false when there is none or it has another kind.
    bool take(PrintfArg wanted)
    {
        if (m_next >= m_count) {
            return false;
        }
        return m_args[m_next++] == wanted;
    }

private:
    const PrintfArg* m_args;
    std::size_t m_count;
    std::size_t m_next = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Skips a field width or precision: digits, or '*' which takes an int value.
bool SkipWidth(const char*& p, ArgumentList& args)
{
    if (*p == '*') {
        ++p;
        return args.take(PrintfArg::Int);
    }
    while (IsDigit(*p)) {
        ++p;
    }
    return true;
}

// Checks one conversion after its '%'; advances `p` past it.
bool CheckConversion(const char*& p, ArgumentList& args)
{
    // A positional argument ("%1$s") is not supported here.
    const char* digits = p;
    while (IsDigit(*digits)) {
        ++digits;
    }
    if (digits != p && *digits == '$') {
        return false;
    }

    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
        ++p;
    }
    if (!SkipWidth(p, args)) {
        return false;
    }
    if (*p == '.') {
        ++p;
        if (!SkipWidth(p, args)) {
            return false;
        }
    }

    Length length = Length::None;
    switch (*p) {
    case 'h':
        length = Length::Short;
        p += p[1] == 'h' ? 2 : 1;
        break;
    case 'l':
        length = p[1] == 'l' ? Length::Wide : Length::Long;
        p += p[1] == 'l' ? 2 : 1;
        break;
    case 'j':
    case 'z':
    case 't':
    case 'q':
        length = Length::Wide;
        ++p;
        break;
    case 'L':
        length = Length::LongDouble;
        ++p;
        break;
    default:
        break;
    }

    const char conversion = *p;
    if (conversion == '\0') {
        return false;
    }
    ++p;
    switch (conversion) {
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        if (length == Length::LongDouble) {
            return false;
        }
        return args.take(length == Length::Long || length == Length::Wide ? PrintfArg::Wide : PrintfArg::Int);
    case 'c':
        return length == Length::None && args.take(PrintfArg::Int);
    case 's':
        return length == Length::None && args.take(PrintfArg::Text);
    case 'p':
        if (length != Length::None) {
            return false;
        }
        // A text is a pointer too; any other kind is not.
        {
            ArgumentList probe = args;
            if (probe.take(PrintfArg::Text)) {
                args = probe;
                return true;
            }
        }
        return args.take(PrintfArg::Pointer);
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (length == Length::LongDouble) {
            return args.take(PrintfArg::LongDouble);
        }
        // 'l' does nothing to a double. glibc reads "ll" and 'q' here as 'L' (a
        // long double), and j, z and t are undefined for these conversions.
        return (length == Length::None || length == Length::Long) && args.take(PrintfArg::Double);
    default:
        // %n would write through a pointer; anything else is unknown.
        return false;
    }
}

}  // namespace

bool PrintfFormatFits(const char* format, const PrintfArg* args, std::size_t count)
{
    if (format == nullptr) {
        return false;
    }
    ArgumentList list(args, count);
    for (const char* p = format; *p != '\0';) {
        if (*p != '%') {
            ++p;
            continue;
        }
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        if (!CheckConversion(p, list)) {
            return false;
        }
    }
    return true;
}
