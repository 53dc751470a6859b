// The supervisor in this process against the demo system database, with its
// loggers' rows removed so that it runs alone: the end of the process it leads.
#include "QHVLogger/OrvantaControl.h"

#include "LoggerRig.h"
#include "QHVLogger/ProcessWide.h"
#include "db/DBoperations.h"
#include "db/Messages.h"

#include <gtest/gtest.h>

using namespace loggertest;
using testsupport::WaitFor;

namespace {

// Without logger names no logger is created; commands for them are dropped, and
// sentence 24 ends the process at once, with the guard against a logger that
// does not answer armed and stopped again.
TEST(Supervisor, WithoutLoggersDropsTheirCommandsAndEndsAtOnce)
{
    Surroundings rig({});
    rig.Execute("DELETE FROM process WHERE pid IN (99, 106)");
    CDBoperations database("ORVANTA");
    CMessages messages;
    messages.setDatabase(&database);
    ASSERT_EQ(database.connect(SystemDataSource, SystemDatabaseUser, SystemDatabasePassword, nullptr), 0);

    COrvantaControl supervisor("QHV_TEST", &rig.trace, DEBUG_ALL, { database, messages, rig.Store() });
    supervisor.Start(0);
    ASSERT_TRUE(rig.WaitForTrace("No process name for pid 106 in TRXDB; the P2X logger is not started."));
    EXPECT_EQ(rig.TraceCount("No process name for pid 99 in TRXDB; the heave logger is not started."), 1u);

    PutSentence(supervisor, "$ZELIX,170,,,,\n\r");
    PutSentence(supervisor, "$ZELIX,173,,,,\n\r");
    PutSentence(supervisor, "$ZELIX,24,\n\r");
    ASSERT_TRUE(WaitFor([] { return g_terminationSemaphore.tryacquire() == 0; }));
    EXPECT_EQ(rig.TraceCount("Job: JobRelayToQHVLogger"), 1u);
    EXPECT_EQ(rig.TraceCount("Job: JobRelayToParamLogger"), 1u);
    EXPECT_EQ(rig.TraceCount("T+:  TERM_EXPIRED"), 1u);
    EXPECT_EQ(rig.TraceCount("T-:  TERM_EXPIRED"), 1u) << "stopped by the end it guards";
    EXPECT_EQ(supervisor.CurrentState(), COrvantaControl::STATE_TERMINATE);
}

}  // namespace
