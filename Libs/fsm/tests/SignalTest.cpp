#include "fsm/FsmSignal.h"
#include "fsm/SignalNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string NameOf(std::int32_t number)
{
    char buffer[SignalNameBufferSize];
    return SignalName(g_SignalNameTable, number, buffer);
}

}  // namespace

TEST(SignalName, PrintsNamesAsStoredAndUnknownNumbersInDecimal)
{
    EXPECT_EQ(NameOf(ZELIX_6), "ZELIX_6 ");
    EXPECT_EQ(NameOf(ZELIX_24), "ZELIX_24");
    EXPECT_EQ(NameOf(FSM_TIMEHANDL), "_TIMEHANDL");
    EXPECT_EQ(NameOf(FSM_TIMEOUT), "_TIMEOUT");
    EXPECT_EQ(NameOf(INPUT_FREQ_REPORT), "INPUT_FREQ_REPORT");
    EXPECT_EQ(NameOf(12345), "12345");
    EXPECT_EQ(NameOf(0), "0");
    EXPECT_EQ(NameOf(-7), "-7");
}

TEST(SignalName, FirstRowOfARepeatedNumberWins)
{
    const SignalNameRow table[] = { { 5, "FIRST" }, { 5, "SECOND" }, { 0, "END_OF_TABLE" } };
    char buffer[SignalNameBufferSize];
    EXPECT_STREQ(SignalName(table, 5, buffer), "FIRST");
}

TEST(CTRXSignal, CopyIsDeepAndSkipsEmptyPayloads)
{
    CTRXSignal empty(ZELIX_6, nullptr, 0);
    CTRXSignal emptyCopy(empty);
    EXPECT_EQ(emptyCopy.Payload(), nullptr);
    EXPECT_EQ(emptyCopy.GetNumber(), ZELIX_6);

    CTRXSignal original(ZELIX_24, CopyPayload("abcde", 5), 5);
    original.m_text[0] = 'q';
    CTRXSignal copy(original);
    ASSERT_NE(copy.Payload(), nullptr);
    EXPECT_NE(copy.Payload(), original.Payload());
    EXPECT_EQ(std::string(copy.Payload(), copy.Length()), "abcde");
    EXPECT_EQ(copy.m_text[0], 'q');
    EXPECT_EQ(std::string(copy.m_type, 10), "XXXXXXXXXX");
    original.ReleasePayload();
    copy.ReleasePayload();
}

TEST(CTRXSignal, DestructorLeavesThePayloadToItsHolder)
{
    char* payload = CopyPayload("xyz", 3);
    {
        CTRXSignal signal(ORVANTA_QHV, payload, 3);
    }
    EXPECT_EQ(std::memcmp(payload, "xyz", 3), 0);  // still allocated
    delete[] payload;

    auto* signal = new CTRXSignal(ORVANTA_QHV, CopyPayload("xyz", 3), 3);
    DeleteSignal(signal);
    EXPECT_EQ(signal, nullptr);
}

TEST(CFsmTimeSignal, TicksBelowZeroAndBecomesASignal)
{
    CFsmTimeSignal timer(FSM_TIMEOUT, NEW_FILE_TIMEOUT, 100, CopyPayload("p", 1), 1);
    EXPECT_EQ(std::string(timer.m_type, 10), "TTTTTTTTTT");
    EXPECT_EQ(timer.Origin(), 1);
    EXPECT_FALSE(timer.Tick(100));  // 0 is not below 0
    EXPECT_TRUE(timer.Tick(100));

    CTRXSignal expired(timer);
    EXPECT_EQ(expired.GetNumber(), NEW_FILE_TIMEOUT);
    EXPECT_EQ(expired.Sender(), nullptr);
    EXPECT_EQ(expired.Origin(), 1);
    ASSERT_EQ(expired.Length(), 1);
    EXPECT_NE(expired.Payload(), timer.m_payload);
    EXPECT_EQ(expired.Payload()[0], 'p');
    expired.ReleasePayload();
    timer.ReleasePayload();
}
