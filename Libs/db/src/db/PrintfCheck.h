// Checks a printf format that comes from the database against the types of the
// values it is to be formatted with, so that a text whose conversions do not fit
// its values is never handed to printf. Pure functions; callable from any thread.
#pragma once

#include <cstddef>
#include <type_traits>

// What a value becomes when it is passed to printf.
enum class PrintfArg : unsigned char {
    Int,         // integers up to the size of int (promoted), enumerations of them
    Wide,        // 64-bit integers: long, long long, size_t, ...
    Double,      // float (promoted) and double
    LongDouble,
    Text,        // char* and const char*
    Pointer,     // any other pointer
};

template <typename T>
struct PrintfUnsupported : std::false_type {};

template <typename T>
constexpr PrintfArg PrintfArgOf()
{
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same_v<U, char*> || std::is_same_v<U, const char*>) {
        return PrintfArg::Text;
    } else if constexpr (std::is_pointer_v<U> || std::is_null_pointer_v<U>) {
        return PrintfArg::Pointer;
    } else if constexpr (std::is_enum_v<U>) {
        return PrintfArgOf<std::underlying_type_t<U>>();
    } else if constexpr (std::is_integral_v<U>) {
        static_assert(sizeof(U) <= sizeof(int) || sizeof(U) == 8, "unexpected integer size");
        return sizeof(U) <= sizeof(int) ? PrintfArg::Int : PrintfArg::Wide;
    } else if constexpr (std::is_same_v<U, float> || std::is_same_v<U, double>) {
        return PrintfArg::Double;
    } else if constexpr (std::is_same_v<U, long double>) {
        return PrintfArg::LongDouble;
    } else {
        static_assert(PrintfUnsupported<T>::value, "message values must be numbers, texts or pointers");
        return PrintfArg::Pointer;
    }
}

// True when each conversion of `format` (width and precision given as '*'
// included) takes the next of the `count` values with a matching type, and the
// format holds no %n and no positional argument. Values beyond the last
// conversion are allowed: printf ignores them.
bool PrintfFormatFits(const char* format, const PrintfArg* args, std::size_t count);
