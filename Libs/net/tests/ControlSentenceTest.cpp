#include "net/ControlSentence.h"
#include "net/SocketTable.h"

#include "fsm/SignalNames.h"
#include "testsupport/RecordingMachine.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

// Converts through an exactly sized heap copy, so reading one byte past the
// datagram is caught by the sanitizer build.
std::optional<std::int32_t> NumberOf(const std::string& datagram)
{
    std::vector<char> bytes(datagram.begin(), datagram.end());
    return ControlSignalNumber(bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

// The expected number by the C library's own strtoll over field 2.
std::optional<std::int32_t> ExpectedByStrtoll(const std::string& field)
{
    const std::string terminated = field.c_str();  // strtoll stops at an embedded NUL too
    const char* begin = terminated.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) {
        return std::nullopt;
    }
    const long long number = value + ControlSignalBase;
    if (value < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(number);
}

}  // namespace

TEST(ControlSignalNumber, DatagramsThatAreNoControlSentenceGiveMinusOne)
{
    for (const std::string& datagram : std::vector<std::string> {
             "", "$", "$ZELI", "$zelix,24", " $ZELIX,24", "$ZELIx,24,\n\r", "$GPGGA,24", std::string("\0ZELIX,24", 9),
           std::string("\xAA\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c", 13) }) {
        EXPECT_EQ(NumberOf(datagram), FSM_TIMEHANDL) << datagram;
    }
    EXPECT_EQ(ControlSignalNumber(nullptr, 0), FSM_TIMEHANDL);
}

TEST(ControlSignalNumber, NumberFieldReadsLikeStrtol)
{
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        { "$ZELIX,24", ZELIX_24 },
        { "$ZELIX,24,\n\r", ZELIX_24 },
        { "$ZELIX,+24,", ZELIX_24 },
        { "$ZELIX,024,", ZELIX_24 },
        { "$ZELIX, 24,", ZELIX_24 },
        { "$ZELIX,\t\n\v\f\r 24", ZELIX_24 },
        { "$ZELIX,24\n\r", ZELIX_24 },
        { "$ZELIX,\n\r24", ZELIX_24 },
        { "$ZELIX,24abc,x", ZELIX_24 },
        { "$ZELIX,2 4", 50002 },
        { "$ZELIXXX,24,", ZELIX_24 },  // only the first six bytes are the talker
        { "$ZELIX,170,/data/heave,heave__TOKY_.qhv,60,5602\n\r", ZELIX_170 },
        { "$ZELIX,0", 50000 },
        { "$ZELIX,-0", 50000 },
        { "$ZELIX,-50001", FSM_TIMEHANDL },
        { "$ZELIX,2002", DB_READ_COMPL },
        { "$ZELIX,2147433647", std::numeric_limits<std::int32_t>::max() },
        { "$ZELIX,-2147483648", std::numeric_limits<std::int32_t>::min() + 50000 },
        { "$ZELIX,00000000000000000000000024", ZELIX_24 },
    };
    for (const auto& [datagram, number] : cases) {
        EXPECT_EQ(NumberOf(datagram), number) << datagram;
    }
}

TEST(ControlSignalNumber, UnusableNumberFieldGivesNoSignal)
{
    for (const std::string& datagram : std::vector<std::string> {
             "$ZELIX", "$ZELIX24", "$ZELIX,", "$ZELIX,,24", "$ZELIX,abc,", "$ZELIX,+", "$ZELIX,-", "$ZELIX,- 5",
           "$ZELIX,+-5", "$ZELIX, ", "$ZELIX, \n\r", "$ZELIX,2147433648", "$ZELIX,2147483647",
           "$ZELIX,-2147483649", "$ZELIX,99999999999999999999999999", "$ZELIX,-99999999999999999999999999" }) {
        EXPECT_EQ(NumberOf(datagram), std::nullopt) << datagram;
    }
}

TEST(ControlSignalNumber, ReadsOnlyTheGivenLength)
{
    const std::string bytes = "$ZELIX,2499";
    EXPECT_EQ(ControlSignalNumber(bytes.data(), 9), ZELIX_24);
    EXPECT_EQ(ControlSignalNumber(bytes.data(), 7), std::nullopt);  // "$ZELIX,"
    EXPECT_EQ(ControlSignalNumber(bytes.data(), 5), FSM_TIMEHANDL);  // "$ZELI"
}

TEST(ControlSignalNumber, AgreesWithStrtollOnEveryNumberNearZeroAndOnRandomFields)
{
    for (int n = -60000; n <= 60000; ++n) {
        const std::string field = std::to_string(n);
        ASSERT_EQ(NumberOf("$ZELIX," + field + ",\n\r"), ExpectedByStrtoll(field)) << n;
    }

    std::mt19937 random(20240611u);  // fixed seed: repeatable
    const std::string alphabet = std::string("0123456789+- \t\n\r,abZ") + '\0';
    for (int round = 0; round < 200000; ++round) {
        std::string field;
        const int length = static_cast<int>(random() % 24);
        for (int i = 0; i < length; ++i) {
            field += alphabet[random() % alphabet.size()];
        }
        const std::string datagram = "$ZELIX," + field;
        const std::string fieldTwo = field.substr(0, field.find(','));
        ASSERT_EQ(NumberOf(datagram), ExpectedByStrtoll(fieldTwo)) << "round " << round;
    }
}

// A sentence from the network never becomes one of the machines' own signals:
// every named signal outside the sentence range, whatever its number, and the
// numbers around the range's ends.
TEST(PutControlSignal, RefusesEveryNumberOfTheMachinesOwnSignals)
{
    testsupport::RecordingMachine target;
    std::vector<std::int32_t> forged = { 52000, ControlSignalBase - 1, -2, std::numeric_limits<std::int32_t>::max() };
    for (const SignalNameRow* row = g_SignalNameTable; row->number != 0; ++row) {
        if (row->number >= ControlSignalBase + LastControlSentence + 1 || row->number < FSM_TIMEHANDL) {
            forged.push_back(row->number);
        }
    }
    ASSERT_GT(forged.size(), 15u);
    for (const std::int32_t number : forged) {
        const std::string sentence = "$ZELIX," + std::to_string(std::int64_t{ number } - ControlSignalBase) + ",x";
        EXPECT_FALSE(PutControlSignal(sentence.data(), sentence.size(), &target)) << sentence;
    }
    EXPECT_TRUE(target.Signals().empty());
    for (const char* sentence : { "$ZELIX,0", "$ZELIX,1999", "$ZELIX,24" }) {
        EXPECT_TRUE(PutControlSignal(sentence, std::strlen(sentence), &target)) << sentence;
    }
}

TEST(PutControlSignal, QueuesTheNumberWithAnIdenticalPayloadAndTheTargetAsSender)
{
    testsupport::RecordingMachine target;
    const std::string sentence = "$ZELIX,170,/data/heave,heave.qhv,60,5602\n\r";
    const std::string other = std::string("\xAA\0\x01x", 4);
    ASSERT_TRUE(PutControlSignal(sentence.data(), sentence.size(), &target));
    ASSERT_TRUE(PutControlSignal(other.data(), other.size(), &target));
    EXPECT_FALSE(PutControlSignal("$ZELIX,abc", 10, &target));
    EXPECT_FALSE(PutControlSignal(sentence.data(), sentence.size(), nullptr));

    const auto signals = target.Signals();
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[0].number, ZELIX_170);
    EXPECT_EQ(signals[0].sender, &target);
    EXPECT_TRUE(signals[0].atBack);
    EXPECT_EQ(signals[0].payload, sentence);
    EXPECT_EQ(signals[1].number, FSM_TIMEHANDL);
    EXPECT_EQ(signals[1].payload, other);
}

TEST(Sentences, BuiltByteForByte)
{
    EXPECT_EQ(StartSentence(), std::string("$ZELIX,6,\n\r", 11));
    EXPECT_EQ(TerminateSentence(), std::string("$ZELIX,24,\n\r", 12));
    EXPECT_EQ(MessageNotifySentence(), std::string("$ZELIX,32\n\r", 11));
    EXPECT_EQ(StatusSentence(172, true), std::string("$ZELIX,172,ON\n\r", 15));
    EXPECT_EQ(StatusSentence(172, false), std::string("$ZELIX,172,OFF\n\r", 16));
    EXPECT_EQ(StatusSentence(175, true), "$ZELIX,175,ON\n\r");
    EXPECT_EQ(StatusSentence(175, false), "$ZELIX,175,OFF\n\r");
    EXPECT_EQ(P2XStartSentence("c:\\survey\\p2x", "p2x__TOKY_.p2x", "60", 5603),
              "$ZELIX,173,c:\\survey\\p2x,p2x__TOKY_.p2x,60,5603\n\r");
    EXPECT_EQ(HeaveStartSentence("c:\\survey\\heave", "heave__TOKY_.qhv", "60", 5602),
              "$ZELIX,170,c:\\survey\\heave,heave__TOKY_.qhv,60,5602\n\r");
    EXPECT_EQ(HeaveStartSentence("", "", "", 0), std::string("$ZELIX,170,,,,\n\r", 16));
    EXPECT_EQ(HeaveStartSentence("d", "f", "", -1), "$ZELIX,170,d,f,,\n\r");

    // The process's own sentences convert back to their numbers.
    EXPECT_EQ(NumberOf(StartSentence()), ZELIX_6);
    EXPECT_EQ(NumberOf(TerminateSentence()), ZELIX_24);
    EXPECT_EQ(NumberOf(StatusSentence(175, false)), ZELIX_175);
    EXPECT_EQ(NumberOf(P2XStartSentence("", "", "", 0)), ZELIX_173);
    EXPECT_EQ(NumberOf(HeaveStartSentence("", "", "", 0)), ZELIX_170);
}

TEST(PortForSocketName, MatchesWholeNamesExactly)
{
    EXPECT_EQ(portForSocketName("ORVANTA_CTRL"), 5076);
    EXPECT_EQ(portForSocketName("QHVLOGGER_CMD"), 1111);
    EXPECT_EQ(portForSocketName("P2XLOGGER_CMD"), 2222);
    for (const char* name : { "orvanta_ctrl", "ORVANTA_CTRL ", " ORVANTA_CTRL", "ORVANTA_CTR", "ORVANTA_CTRLX", "",
                              "QHVLOGGER" }) {
        EXPECT_EQ(portForSocketName(name), 0) << '"' << name << '"';
    }
    EXPECT_EQ(portForSocketName(std::string_view("ORVANTA_CTRL\0", 13)), 0);
}
