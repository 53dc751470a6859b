#include "platform/PortClaim.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Not one of the ports the process itself uses, so a running QHVLogger on this
// machine does not disturb the test.
constexpr std::uint16_t TestPort = 47301;

// One holder at a time, within a process and across processes; the claim goes
// with its holder, also when the holder is killed.
TEST(PortClaim, OneHolderAtATimeUntilItEndsHoweverItEnds)
{
    {
        platform::PortClaim first(TestPort);
        ASSERT_TRUE(first.Held()) << first.Error();
        const platform::PortClaim second(TestPort);
        EXPECT_FALSE(second.Held());
        EXPECT_EQ(second.Error(), EADDRINUSE);
        EXPECT_TRUE(platform::PortClaim(TestPort + 1).Held()) << "each port is claimed on its own";

        platform::PortClaim moved(std::move(first));
        EXPECT_TRUE(moved.Held());
        EXPECT_FALSE(platform::PortClaim(TestPort).Held()) << "a moved claim is still held";
    }
    EXPECT_TRUE(platform::PortClaim(TestPort).Held()) << "released with its holder";

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const platform::PortClaim held(TestPort);
        const char answer = held.Held() ? 'y' : 'n';
        (void)!::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    EXPECT_FALSE(platform::PortClaim(TestPort).Held()) << "held by another process";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_TRUE(platform::PortClaim(TestPort).Held()) << "a killed holder leaves no claim behind";
}

}  // namespace
