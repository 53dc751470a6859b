#include "platform/Files.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>

using namespace platform;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(Files, CreatesMissingLevelsOfADrivePath)
{
    TempDir root;
    ScopedEnv env("QHV_DRIVE_ROOT", root.str());
    CreateDirectoryLevels("D:\\new\\deeper\\");
    EXPECT_TRUE(std::filesystem::is_directory(root.path() / "d" / "new" / "deeper"));
    EXPECT_TRUE(IsDirectory("d:/NEW/Deeper"));
    EXPECT_FALSE(FileExists("d:/new/deeper/file"));
}

TEST(Files, DirectoryTestsKeepTheWorkingDirectory)
{
    TempDir root;
    const auto before = std::filesystem::current_path();
    CreateDirectoryLevels(root.str() + "/a/b");
    EXPECT_TRUE(IsDirectory(root.str() + "/a/b"));
    EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST(Files, RenameReplacesAnExistingTarget)
{
    TempDir dir;
    WriteFile(dir.path() / "old", "old");
    WriteFile(dir.path() / "new", "new");
    EXPECT_EQ(RenameReplace(dir.str() + "/new", dir.str() + "/old"), 0);
    EXPECT_EQ(ReadFile(dir.path() / "old"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "new"));
}

TEST(Files, RenameNoReplaceNeverReplacesAnExistingTarget)
{
    TempDir dir;
    WriteFile(dir.path() / "a", "first");
    WriteFile(dir.path() / "b", "second");
    EXPECT_EQ(RenameNoReplace(dir.str() + "/b", dir.str() + "/a"), EEXIST);
    EXPECT_EQ(ReadFile(dir.path() / "a"), "first");
    EXPECT_EQ(ReadFile(dir.path() / "b"), "second");

    EXPECT_EQ(RenameNoReplace(dir.str() + "/b", dir.str() + "/c"), 0);
    EXPECT_EQ(ReadFile(dir.path() / "c"), "second");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "b"));
}

TEST(Files, RenamesReportTheErrorNumber)
{
    TempDir dir;
    EXPECT_EQ(RenameReplace(dir.str() + "/missing", dir.str() + "/target"), ENOENT);
    EXPECT_EQ(RenameNoReplace(dir.str() + "/missing", dir.str() + "/target"), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "target"));
}

TEST(Files, RenamesCopyAcrossVolumes)
{
    // /dev/shm is a tmpfs on every Linux machine, so it is another volume than /tmp
    // unless /tmp is a tmpfs as well; either way the result must be the same.
    if (!std::filesystem::is_directory("/dev/shm")) {
        GTEST_SKIP() << "no /dev/shm";
    }
    TempDir dir;
    const std::string from = "/dev/shm/qhv-rename-" + std::to_string(::getpid());
    WriteFile(from, "moved");
    EXPECT_EQ(RenameReplace(from, dir.str() + "/target"), 0);
    EXPECT_EQ(ReadFile(dir.path() / "target"), "moved");
    EXPECT_FALSE(std::filesystem::exists(from));

    // The copy that must not replace leaves both files as they are.
    WriteFile(from, "again");
    EXPECT_EQ(RenameNoReplace(from, dir.str() + "/target"), EEXIST);
    EXPECT_EQ(ReadFile(dir.path() / "target"), "moved");
    EXPECT_EQ(ReadFile(from), "again");
    EXPECT_EQ(RenameNoReplace(from, dir.str() + "/other"), 0);
    EXPECT_EQ(ReadFile(dir.path() / "other"), "again");
    EXPECT_FALSE(std::filesystem::exists(from));
}

// A temporary file left by a crash, longer than the new content, is written
// over from its start: nothing of its tail reaches the file. The replaced
// file's access mode is kept.
TEST(Files, ReplaceFileContentWritesOverALongerLeftoverTemporaryFile)
{
    TempDir dir;
    const std::filesystem::path file = dir.path() / "tokens.json";
    WriteFile(file, "old");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    WriteFile(dir.path() / "tokens.json.tmp", std::string(4096, 'x'));
    EXPECT_EQ(ReplaceFileContent(dir.str() + "/tokens.json", "new"), 0);
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "tokens.json.tmp"));
    EXPECT_EQ(std::filesystem::status(file).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
