// The two arrived-message inserts of the database object: duplicate
// suppression, the millisecond stored, texts verbatim, missing tables.
#include "db/DBoperations.h"

#include "DbTest.h"

#include <gtest/gtest.h>

#include <string>

// ---------------------------------------------------------------------------
// Arrived messages

TEST_F(DbTest, ArrivalsWithoutTextRepeatWithin10Seconds)
{
    auto ops = Connected();
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 120000, 0, 1414, " ", true), 43200000);
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 120009, 999, 1414, " ", true), 0);  // 9,999 ms later
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 120010, 0, 1414, " ", true), 43210000);  // 10,000 ms
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 120019, 999, 1414, " ", true), 0);
    // Measured from the last stored arrival, in both directions.
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 120000, 1, 1414, " ", true), 0);

    const auto rows = db.query("SELECT dateYYYYMMDD, millisecSinceMidnight, number FROM arrivedMessages "
                               "ORDER BY millisecSinceMidnight");
    EXPECT_EQ(rows, (dbtest::Rows { { "20260314", "43200000", "1414" }, { "20260314", "43210000", "1414" } }));
}

TEST_F(DbTest, ArrivalsWithTextRepeatOnlyWithTheSameText)
{
    auto ops = Connected();
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 80000, 0, 1410, "a", false), 28800000);
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 80001, 0, 1410, "b", false), 28801000);
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 80002, 0, 1410, "b", false), 0);
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 80003, 0, 1410, "a", false), 28803000);
    // Beyond the window the same text is stored again.
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 80013, 0, 1410, "a", false), 28813000);
    // Numbers are apart: another number with the same text is stored.
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 80014, 0, 1440, "a", false), 28814000);
    EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM arrivedMessages"), "5");
}

TEST_F(DbTest, ArrivalsInOneMillisecondAreStoredApart)
{
    auto ops = Connected();
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 101010, 500, 1410, "x", false), 36610500);
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 101010, 500, 1414, " ", true), 36610501);

    // The last millisecond of the day is the largest stored, even twice.
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 235959, 999, 1440, "y", false), 86399999);
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 235959, 999, 1444, " ", true), 86399999);
    EXPECT_EQ(db.query("SELECT millisecSinceMidnight, number FROM arrivedMessages WHERE number IN (1440, 1444) "
                       "ORDER BY number"),
              (dbtest::Rows { { "86399999", "1440" }, { "86399999", "1444" } }));
}

TEST_F(DbTest, ArrivalAtMidnightIsStoredAndNotTakenForSuppressed)
{
    auto ops = Connected();
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 235959, 999, 1440, "y", false), 86399999);
    EXPECT_EQ(ops->insertArrivedMessage(kDate + 1, 0, 0, 1444, " ", true), 1);
    // ... and remembered: a repeat right after it is suppressed.
    EXPECT_EQ(ops->insertArrivedMessage(kDate + 1, 0, 5, 1444, " ", true), 0);
    EXPECT_EQ(db.scalar("SELECT millisecSinceMidnight FROM arrivedMessages WHERE number = 1444"), "1");
}

TEST_F(DbTest, ArrivalTextsAreStoredVerbatim)
{
    auto ops = Connected();
    EXPECT_EQ(ops->insertArrivedMessageText(kDate, 1234, 1410, 3, "it's 'quoted'); DROP TABLE users; --"), 0);
    EXPECT_EQ(ops->insertArrivedMessageText(kDate, 1235, 1410, 1, Repeat('z', 500).c_str()), 0);
    EXPECT_EQ(ops->insertArrivedMessageText(kDate, 1236, 1410, 3, "\xC6\xF8\xC5 \\u00e6 100% ? {fn now()} {d '1'}"), 0);
    EXPECT_EQ(db.query("SELECT dateYYYYMMDD, millisecSinceMidnight, lang, mess FROM arrivedMessagesString "
                       "ORDER BY millisecSinceMidnight"),
              (dbtest::Rows { { "20260314", "1234", "3", "it's 'quoted'); DROP TABLE users; --" },
                              { "20260314", "1235", "1", Repeat('z', 399) },
                              { "20260314", "1236", "3", "\xC6\xF8\xC5 \\u00e6 100% ? {fn now()} {d '1'}" } }));
    EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM users"), "1");
}

TEST_F(DbTest, ArrivalInsertsWithoutTheirTablesFail)
{
    auto ops = Connected();
    db.exec("DROP TABLE arrivedMessages");
    db.exec("DROP TABLE arrivedMessagesString");
    EXPECT_EQ(ops->insertArrivedMessage(kDate, 120000, 0, 1410, "x", false), -1);
    EXPECT_EQ(ops->insertArrivedMessageText(kDate, 43200000, 1410, 3, "x"), -1);
    EXPECT_EQ(Dump(),
              "505 (-1): INSERT INTO arrivedMessages(dateYYYYMMDD,millisecSinceMidnight,number) values "
              "(20260314,43200000,1410)\n"
              "505 (-1): INSERT INTO arrivedMessagesString(dateYYYYMMDD,millisecSinceMidnight,lang,mess) values "
              "(20260314,43200000,3,'x')\n");
}
