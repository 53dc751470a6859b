// The supervisor under a service manager, without systemd: the test listens on
// a NOTIFY_SOCKET of its own. The loggers' rows are removed, so the supervisor
// runs alone and its end can be watched in this process.
#include "LoggerRig.h"
#include "testsupport/NotifySocket.h"
#include "QHVLogger/OrvantaControl.h"
#include "QHVLogger/ProcessWide.h"
#include "db/DBoperations.h"
#include "db/Messages.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <thread>

using testsupport::ScopedEnv;

namespace {

// The supervisor against the demo database without loggers; started by Start.
struct Supervised {
    Supervised() { rig.Execute("DELETE FROM process WHERE pid IN (99, 106)"); }
    ~Supervised()
    {
        supervisor.reset();
        while (g_terminationSemaphore.tryacquire() == 0) {
        }
    }
    COrvantaControl& Start()
    {
        messages.setDatabase(&database);
        database.connect(SystemDataSource, SystemDatabaseUser, SystemDatabasePassword, nullptr);
        supervisor = std::make_unique<COrvantaControl>("QHV_TEST", &rig.trace, DEBUG_ALL,
                                                       ProcessServices { database, messages, rig.Store() });
        supervisor->Start(0);
        return *supervisor;
    }
    loggertest::Surroundings rig { {} };
    CDBoperations database { "ORVANTA" };
    CMessages messages;
    std::unique_ptr<COrvantaControl> supervisor;
};

// READY=1 once, at the end of JobBeginSuperv; then WATCHDOG=1 through the
// supervisor's own job table in SUPERVISE and, after sentence 24 and
// STOPPING=1, in STATE_TERMINATE until the process is gone.
TEST(ServiceNotify, ReadyOnceSupervisingThenTheWatchdogFromTheInputThreadToTheEnd)
{
    Supervised supervised;
    servicetest::NotifySocket notify(supervised.rig.Root());
    ScopedEnv socket("NOTIFY_SOCKET", notify.Path());
    ScopedEnv watchdog("WATCHDOG_USEC", "600000");  // a sign of life every 200 ms
    ScopedEnv forUs("WATCHDOG_PID", std::to_string(::getpid()));
    COrvantaControl& supervisor = supervised.Start();
    auto& rig = supervised.rig;

    ASSERT_TRUE(notify.WaitFor("READY=1"));
    EXPECT_EQ(rig.TraceCount("the P2X logger is not started"), 1u) << "JobBeginSuperv has done its work";
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", 4));
    EXPECT_GE(rig.TraceCount("S: WATCHDOG_TICK     St:  SUPERVISE       --> SUPERVISE"), 3u);

    loggertest::PutSentence(supervisor, "$ZELIX,24,\n\r");
    ASSERT_TRUE(notify.WaitFor("STOPPING=1"));
    const std::size_t beforeEnd = notify.Count("WATCHDOG=1");
    EXPECT_TRUE(rig.WaitForTrace("S: WATCHDOG_TICK     St:  STATE_TERMINATE --> STATE_TERMINATE", 2));
    EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", beforeEnd + 2));
    EXPECT_EQ(rig.TraceCount("ASt:"), 0u) << "the tick has its row in both states";
    EXPECT_EQ(notify.Count("READY=1"), 1u);
}

// Without a service manager the trace stays as it always was: no tick, no timer.
TEST(ServiceNotify, WithoutNotifySocketNoWatchdog)
{
    Supervised supervised;
    ScopedEnv socket("NOTIFY_SOCKET", std::nullopt);
    ScopedEnv watchdog("WATCHDOG_USEC", "600000");
    ScopedEnv forUs("WATCHDOG_PID", std::to_string(::getpid()));
    supervised.Start();
    ASSERT_TRUE(supervised.rig.WaitForTrace("St:  DBINIT          --> SUPERVISE"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(supervised.rig.TraceCount("WATCHDOG_TICK"), 0u);
}

}  // namespace
