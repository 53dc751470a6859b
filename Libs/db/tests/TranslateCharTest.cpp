#include "db/TranslateChar.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A table file whose byte i is 'a' + i for the 14 escapes, then filler.
std::string TableBytes(std::size_t size = CTranslateChar::TableSize)
{
    std::string bytes(size, '#');
    for (std::size_t i = 0; i < 14 && i < size; ++i) {
        bytes[i] = static_cast<char>('a' + i);
    }
    return bytes;
}

std::string Bytes(std::initializer_list<unsigned char> values) { return std::string(values.begin(), values.end()); }

}  // namespace

TEST(TranslateChar, ReplacesEveryEscapeByItsTableByte)
{
    TempDir dir;
    WriteFile(dir.path() / "translate.bin", TableBytes());
    CTranslateChar translator((dir.path() / "translate.bin").c_str());
    ASSERT_TRUE(translator.enabled());

    EXPECT_STREQ(translator.translate("!!AE!!ae!!OE!!oe!!AA!!aa!!o-!!u-!!n-!!e-!!i-!!a-!!u_!!o_"),
                 "abcdefghijklmn");
    // Every occurrence, not only the first of each escape.
    EXPECT_STREQ(translator.translate("X!!AEY!!AE"), "XaYa");
    EXPECT_STREQ(translator.translate("!!!AE!!"), "!a!!");
    EXPECT_STREQ(translator.translate("no escapes"), "no escapes");
    EXPECT_STREQ(translator.translate("!!xx stays"), "!!xx stays");
}

TEST(TranslateChar, ReplacementsCanFormNewEscapes)
{
    TempDir dir;
    std::string table = TableBytes();
    table[4] = '!';  // "!!AA" becomes "!", which can complete another escape
    WriteFile(dir.path() / "translate.bin", table);
    CTranslateChar translator((dir.path() / "translate.bin").c_str());
    EXPECT_STREQ(translator.translate("!!!AAAE"), "a");
}

TEST(TranslateChar, ZeroByteEndsTheText)
{
    TempDir dir;
    std::string table = TableBytes();
    table[1] = '\0';
    WriteFile(dir.path() / "translate.bin", table);
    CTranslateChar translator((dir.path() / "translate.bin").c_str());
    EXPECT_STREQ(translator.translate("AB!!aeCD"), "AB");
}

TEST(TranslateChar, DisabledWithoutACompleteTableFile)
{
    TempDir dir;
    CTranslateChar missing((dir.path() / "translate.bin").c_str());
    EXPECT_FALSE(missing.enabled());
    const char* text = "X!!AEY";
    EXPECT_EQ(missing.translate(text), text);

    WriteFile(dir.path() / "short.bin", TableBytes(99));
    CTranslateChar shortFile((dir.path() / "short.bin").c_str());
    EXPECT_FALSE(shortFile.enabled());
    EXPECT_EQ(shortFile.translate(text), text);

    // Longer files are fine: only the first 100 bytes count.
    WriteFile(dir.path() / "long.bin", TableBytes(150));
    CTranslateChar longFile((dir.path() / "long.bin").c_str());
    EXPECT_TRUE(longFile.enabled());
}

TEST(TranslateChar, TextsOf2000CharactersPassUnchanged)
{
    TempDir dir;
    WriteFile(dir.path() / "translate.bin", TableBytes());
    CTranslateChar translator((dir.path() / "translate.bin").c_str());

    const std::string tooLong = "!!AE" + std::string(1996, 'x');
    EXPECT_EQ(translator.translate(tooLong.c_str()), tooLong.c_str());

    const std::string longest = "!!AE" + std::string(1995, 'x');
    EXPECT_EQ(std::string(translator.translate(longest.c_str())), "a" + std::string(1995, 'x'));
}

TEST(EscapeText, EscapesTheLatin1TableOnly)
{
    EXPECT_EQ(escapeText(Bytes({ 'x', 230, 'y' }).c_str()), "x\\u00E6y");
    EXPECT_EQ(escapeText(Bytes({ 161, 252, 0xE8 }).c_str()), Bytes({ '\\', 'u', '0', '0', 'A', '1', '\\', 'u', '0',
                                                                       '0', 'F', 'C', 0xE8 }));
    EXPECT_EQ(escapeText("plain ASCII \\n"), "plain ASCII \\n");
    EXPECT_EQ(buildEscapeTable().size(), 27u);
}

TEST(UnescapeText, DecodesEscapesToUtf8)
{
    EXPECT_EQ(unescapeText("\\u00e6"), Bytes({ 0xC3, 0xA6 }));
    EXPECT_EQ(unescapeText("\\u00E6"), Bytes({ 0xC3, 0xA6 }));
    EXPECT_EQ(unescapeText("\\u41"), "A");
    EXPECT_EQ(unescapeText("\\u0041BC"), "ABC");            // at most four digits
    EXPECT_EQ(unescapeText("\\u00410"), "A0");
    EXPECT_EQ(unescapeText("\\u7FF"), Bytes({ 0xDF, 0xBF }));  // largest two-byte value
    EXPECT_EQ(unescapeText("a\\u20ACb"), "ab");             // 2048 and above give nothing
    EXPECT_EQ(unescapeText("a\\u0000b"), "ab");
    EXPECT_EQ(unescapeText("\\uxyz"), "uxyz");              // no digit: the letter u
}

TEST(UnescapeText, BackslashesAndHighBytes)
{
    EXPECT_EQ(unescapeText("a\\b"), "ab");
    EXPECT_EQ(unescapeText("a\\\\b"), "a\\b");
    EXPECT_EQ(unescapeText("end\\"), "end\\");
    EXPECT_EQ(unescapeText(Bytes({ 'a', 0xE8, 'b', 0xC3, 0xA6 }).c_str()), "ab");
    EXPECT_EQ(unescapeText(""), "");
}

TEST(UnescapeText, RoundTripOfLatin1Text)
{
    // What getMessageText does for languages other than 3.
    const std::string latin1 = Bytes({ 'B', 'l', 229, 'b', 230, 'r', ' ', 0xE8 });
    EXPECT_EQ(unescapeText(escapeText(latin1.c_str()).c_str()),
              Bytes({ 'B', 'l', 0xC3, 0xA5, 'b', 0xC3, 0xA6, 'r', ' ' }));
}
