// The P2X logger's rule of which sentences a .p2x file holds once each.
#include "formats/RememberedSentences.h"

#include <gtest/gtest.h>

TEST(RememberedSentences, KeepOnePerTypeAndKeyAndForgetAllOnAChange)
{
    using Outcome = CRememberedSentences::Outcome;
    CRememberedSentences remembered;
    EXPECT_EQ(remembered.Take("$PQRV,25,1,a"), Outcome::New);
    EXPECT_EQ(remembered.Take("$PQRV,25,1,a"), Outcome::Known);
    EXPECT_EQ(remembered.Take("$PQRV,25,2,a"), Outcome::New);
    EXPECT_EQ(remembered.Take("$PQRV,26,1,a"), Outcome::New);
    EXPECT_EQ(remembered.Take("$PQRV,27,0,a"), Outcome::New);
    EXPECT_EQ(remembered.Take("$PQRV,27,5,b"), Outcome::Changed) << "one type-27 sentence, whatever its key";
    EXPECT_EQ(remembered.Take("$PQRV,25,1,a"), Outcome::New) << "a change forgets every sentence";
    // Too short for type and key, or of another type: never remembered.
    EXPECT_EQ(remembered.Take("$PQRV,25"), Outcome::Ignored);
    EXPECT_EQ(remembered.Take("$PQRV,25,"), Outcome::Ignored);
    EXPECT_EQ(remembered.Take("$PQRV,24,1,a"), Outcome::Ignored);
    EXPECT_EQ(remembered.Take("$GPGGA,25,1"), Outcome::Ignored);
}
