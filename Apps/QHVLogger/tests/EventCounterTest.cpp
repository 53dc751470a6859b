#include "QHVLogger/EventCounter.h"

#include "testsupport/DemoDatabase.h"
#include "testsupport/RecordingMachine.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

using testsupport::RecordingMachine;
using testsupport::WaitFor;

namespace {

// A clock the test moves by hand. The timing thread reads it once in each 100 ms
// pass once parameters are set.
class DrivenClock {
public:
    EventClock Function()
    {
        return [this] {
            ++m_reads;
            const long long ms = m_ms;
            return ACE_Time_Value(ms / 1000, (ms % 1000) * 1000);
        };
    }
    // Moves the clock on and waits until a pass that saw the new time has ended:
    // the second read after the move belongs to a later pass.
    void Advance(long long ms)
    {
        m_ms += ms;
        const long long reads = m_reads;
        ASSERT_TRUE(WaitFor([&] { return m_reads >= reads + 2; }));
    }

private:
    std::atomic<long long> m_ms { 1700000000000 };
    std::atomic<long long> m_reads { 0 };
};

using Counter = CEventCounter<RecordingMachine>;

class EventCounterTest : public testing::Test {
protected:
    // The counter connects to the system database, as the loggers do.
    static void SetUpTestSuite()
    {
        s_root = std::make_unique<testsupport::TempDir>();
        s_database = std::make_unique<testsupport::DemoDatabase>(s_root->path());
    }
    static void TearDownTestSuite()
    {
        s_database.reset();
        s_root.reset();
    }

    std::unique_ptr<Counter> MakeCounter(int windowMs, int expectedCount, int pauseMs, int limit)
    {
        auto counter = std::make_unique<Counter>(m_logger, m_clock.Function());
        counter->SetParameters(windowMs, expectedCount, pauseMs, limit);
        return counter;
    }

    static void Count(Counter& counter, int events)
    {
        for (int i = 0; i < events; ++i) {
            counter.CountEvent();
        }
    }

    // Every signal the logger got, each checked to be a report of the counter.
    std::vector<FrequencyReport> Reports()
    {
        std::vector<FrequencyReport> reports;
        for (const RecordingMachine::Received& received : m_logger.Signals()) {
            EXPECT_EQ(received.number, INPUT_FREQ_REPORT);
            EXPECT_EQ(received.sender, &m_logger);
            EXPECT_TRUE(received.atBack);
            CTRXSignal signal(received.number, CopyPayload(received.payload.data(), received.payload.size()),
                              received.payload.size());
            const std::optional<FrequencyReport> report = ReadFrequencyReport(signal);
            signal.ReleasePayload();
            EXPECT_TRUE(report.has_value());
            reports.push_back(report.value_or(FrequencyReport { -1, -1, -1 }));
        }
        return reports;
    }

    static void ExpectReport(const FrequencyReport& report, double expectedRate, double receivedRate, int limit)
    {
        EXPECT_DOUBLE_EQ(report.expectedRate, expectedRate);
        EXPECT_DOUBLE_EQ(report.receivedRate, receivedRate);
        EXPECT_EQ(report.limit, limit);
    }

    inline static std::unique_ptr<testsupport::TempDir> s_root;
    inline static std::unique_ptr<testsupport::DemoDatabase> s_database;
    RecordingMachine m_logger { "QHVLOGGER" };
    DrivenClock m_clock;
};

}  // namespace

TEST_F(EventCounterTest, FiveSecondWindowsAtTenHzReportOnlyBelowEightyPercent)
{
    auto counter = MakeCounter(5000, 50, 0, 80);
    Count(*counter, 40);
    m_clock.Advance(5000);
    EXPECT_TRUE(Reports().empty());

    Count(*counter, 39);  // the next window follows directly and starts from 0
    m_clock.Advance(4999);
    EXPECT_TRUE(Reports().empty());
    m_clock.Advance(1);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    ExpectReport(reports[0], 10.0, 7.8, 80);
}

TEST_F(EventCounterTest, TenSecondsAtOneHzExpectSevenEvents)
{
    auto counter = MakeCounter(10000, 10, 0, 100);
    Count(*counter, 7);
    m_clock.Advance(10000);
    EXPECT_TRUE(Reports().empty());

    Count(*counter, 6);
    m_clock.Advance(10000);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    ExpectReport(reports[0], 0.7, 0.6, 100);
}

TEST_F(EventCounterTest, LimitZeroNeverReportsUntilANewLimitIsSet)
{
    auto counter = MakeCounter(5000, 50, 0, 0);
    m_clock.Advance(5000);
    m_clock.Advance(5000);
    EXPECT_TRUE(Reports().empty());

    counter->SetParameters(5000, 50, 0, 80);
    m_clock.Advance(5000);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    ExpectReport(reports[0], 10.0, 0.0, 80);
}

TEST_F(EventCounterTest, APauseFollowsEachWindowAndDropsItsEvents)
{
    auto counter = MakeCounter(10000, 10, 30000, 100);  // 7 events expected
    Count(*counter, 3);
    m_clock.Advance(10000);
    ASSERT_EQ(Reports().size(), 1u);

    // 2 events would be far too few for a window: no report may come in the pause.
    Count(*counter, 2);
    m_clock.Advance(29999);
    EXPECT_EQ(Reports().size(), 1u);
    m_clock.Advance(1);  // the pause ends; its 2 events are dropped

    Count(*counter, 6);  // 6 + 2 would reach the limit
    m_clock.Advance(10000);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    ExpectReport(reports[0], 0.7, 0.3, 100);
    ExpectReport(reports[1], 0.7, 0.6, 100);

    m_clock.Advance(10000);  // in the next pause, no events: still no report
    EXPECT_EQ(Reports().size(), 2u);
}

TEST(SlowRateAllowance, AppliesToWindowsUpToTwentyOneSecondsAtOneHzOrLess)
{
    struct Case {
        int windowMs, expected, allowed;
    };
    for (const Case& c : std::vector<Case> { { 10000, 10, 7 }, { 20000, 20, 14 }, { 20999, 20, 14 },
                                             { 5000, 5, 5 }, { 10000, 5, 5 }, { 10000, 20, 20 },
                                             { 21000, 21, 21 }, { 5000, 50, 50 }, { 500, 1, 1 },
                                             { 10000, 0, 0 }, { 0, 10, 10 } }) {
        EXPECT_EQ(AllowedExpectedCount(c.windowMs, c.expected), c.allowed) << c.windowMs << " ms, " << c.expected;
    }
}

TEST(FrequencyReportSignal, CarriesTheReportAndRejectsOtherPayloads)
{
    RecordingMachine logger;
    CTRXSignal* signal = NewFrequencyReportSignal(&logger, FrequencyReport { 10.0, 7.8, 80 });
    EXPECT_EQ(signal->GetNumber(), INPUT_FREQ_REPORT);
    EXPECT_EQ(signal->Sender(), &logger);
    EXPECT_EQ(signal->Length(), static_cast<std::int32_t>(sizeof(FrequencyReport)));
    const std::optional<FrequencyReport> report = ReadFrequencyReport(*signal);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->receivedRate, 7.8);
    DeleteSignal(signal);

    CTRXSignal empty(INPUT_FREQ_REPORT, nullptr, 0);
    EXPECT_FALSE(ReadFrequencyReport(empty).has_value());
    CTRXSignal shorter(INPUT_FREQ_REPORT, CopyPayload("0123456789", 10), 10);
    EXPECT_FALSE(ReadFrequencyReport(shorter).has_value());
    shorter.ReleasePayload();
}
