#include "db/PrintfCheck.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

template <typename... Values>
bool Fits(const char* format, Values... )
{
    const PrintfArg kinds[] = { PrintfArgOf<Values>()..., PrintfArg::Int };
    return PrintfFormatFits(format, kinds, sizeof...(Values));
}

}  // namespace

TEST(PrintfCheck, AcceptsFormatsThatFitTheirValues)
{
    EXPECT_TRUE(Fits("no conversions"));
    EXPECT_TRUE(Fits("100%% sure"));
    EXPECT_TRUE(Fits("file %s", "c:\\x"));
    EXPECT_TRUE(Fits("limit %d%%, expected %.2f, received %.2f", 80, 10.0, 7.5));
    EXPECT_TRUE(Fits("%-10s|%+05d|%#x|%'d", "a", 1, 2u, 3));
    EXPECT_TRUE(Fits("%*.*f", 8, 2, 1.5));
    EXPECT_TRUE(Fits("%ld %lu %zu %lld", 1L, 2UL, std::size_t { 3 }, 4LL));
    EXPECT_TRUE(Fits("%hhd %hd %c", 1, 2, 'x'));
    EXPECT_TRUE(Fits("%lf %Lf %e %g %a", 1.0, 2.0L, 3.0f, 4.0, 5.0));
    EXPECT_TRUE(Fits("%p %p", static_cast<const void*>(nullptr), "text"));
    // Values beyond the conversions are ignored by printf.
    EXPECT_TRUE(Fits("no placeholder", "c:\\path"));
}

TEST(PrintfCheck, RejectsFormatsThatDoNotFit)
{
    EXPECT_FALSE(Fits("file %s", 5));                 // text conversion, int value
    EXPECT_FALSE(Fits("count %d", "five"));
    EXPECT_FALSE(Fits("rate %f", 5));
    EXPECT_FALSE(Fits("value %d", 5.0));
    EXPECT_FALSE(Fits("%s and %s", "one"));           // more placeholders than values
    EXPECT_FALSE(Fits("%d"));
    EXPECT_FALSE(Fits("%ld", 5));                     // 64-bit conversion, 32-bit value
    EXPECT_FALSE(Fits("%d", 5L));
    EXPECT_FALSE(Fits("%*d", 5));                     // the width takes the only value
    EXPECT_FALSE(Fits("%Lf", 1.0));
    EXPECT_FALSE(Fits("%ls", "wide"));
    EXPECT_FALSE(Fits("%p", 5));
}

TEST(PrintfCheck, RejectsDangerousAndUnknownConversions)
{
    int written = 0;
    EXPECT_FALSE(Fits("%n", &written));
    EXPECT_FALSE(Fits("abc%hn", &written));
    EXPECT_FALSE(Fits("%1$s", "positional"));
    EXPECT_FALSE(Fits("%k", 1));
    EXPECT_FALSE(Fits("ends with %", 1));
    EXPECT_FALSE(Fits("ends with %-5", 1));
    EXPECT_FALSE(PrintfFormatFits(nullptr, nullptr, 0));
}

// glibc reads "ll" and 'q' before a floating conversion as 'L': a double handed
// to "%llf" or "%qe" would be read as a long double. j, z and t are undefined there.
TEST(PrintfCheck, RejectsSixtyFourBitModifiersBeforeFloatingConversions)
{
    EXPECT_FALSE(Fits("%llf", 1.0));
    EXPECT_FALSE(Fits("rate %qe", 1.0));
    EXPECT_FALSE(Fits("%jf", 1.0));
    EXPECT_FALSE(Fits("%zg", 1.0));
    EXPECT_FALSE(Fits("%ta", 1.0));
    EXPECT_TRUE(Fits("%lf %lld %qd %ld", 1.0, 2LL, 3LL, 4L));
}
