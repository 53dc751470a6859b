#include "platform/TokenLock.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using platform::CTokenLock;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Runs one lock attempt in a child process: 0 when it got the lock, 1 when not.
int AttemptInChild(const std::string& path)
{
    const pid_t child = ::fork();
    if (child == 0) {
        CTokenLock lock;
        ::_exit(lock.Open(path) && lock.TryLock() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(TokenLock, HoldersInOneProcessExcludeEachOther)
{
    TempDir dir;
    const std::string path = dir.str() + "/token.lck";
    CTokenLock first;
    CTokenLock second;
    EXPECT_FALSE(second.TryLock());  // nothing open yet
    ASSERT_TRUE(first.Open(path));
    ASSERT_TRUE(second.Open(path));
    EXPECT_TRUE(first.TryLock());
    EXPECT_FALSE(second.TryLock());
    EXPECT_FALSE(second.TryLock());  // still held: a failed attempt changes nothing
    first.Close();
    EXPECT_TRUE(second.TryLock());
    EXPECT_TRUE(std::filesystem::exists(path));  // closing never removes the lock file
}

TEST(TokenLock, ExcludesOtherProcessesUntilClosed)
{
    TempDir dir;
    const std::string path = dir.str() + "/token.lck";
    {
        CTokenLock held;
        ASSERT_TRUE(held.Open(path));
        ASSERT_TRUE(held.TryLock());
        EXPECT_EQ(AttemptInChild(path), 1);
    }
    EXPECT_EQ(AttemptInChild(path), 0);
}

TEST(TokenLock, OpensTheMappedPathAnewAndFailsWithoutAFolder)
{
    TempDir root;
    ScopedEnv drives("QHV_DRIVE_ROOT", root.str());
    std::filesystem::create_directories(root.path() / "c" / "temp");
    WriteFile(root.path() / "c" / "temp" / "token.lck", "left over");

    CTokenLock lock;
    ASSERT_TRUE(lock.Open("c:\\Temp\\token.lck"));
    EXPECT_TRUE(lock.TryLock());
    EXPECT_EQ(ReadFile(root.path() / "c" / "temp" / "token.lck"), "");

    CTokenLock nowhere;
    EXPECT_FALSE(nowhere.Open("d:\\missing\\token.lck"));
    EXPECT_FALSE(nowhere.IsOpen());
    EXPECT_FALSE(nowhere.TryLock());
}
