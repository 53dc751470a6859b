#include "platform/Paths.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <filesystem>

using platform::DirectoryPart;
using platform::NativePath;
using testsupport::ScopedEnv;
using testsupport::TempDir;

TEST(NativePath, MapsDriveLettersUnderTheDriveRoot)
{
    TempDir root;
    ScopedEnv env("QHV_DRIVE_ROOT", root.str());
    EXPECT_EQ(NativePath("c:\\temp\\token.lck"), root.str() + "/c/temp/token.lck");
    EXPECT_EQ(NativePath("D:/new\\deeper\\"), root.str() + "/d/new/deeper/");
    EXPECT_EQ(NativePath("C:"), root.str() + "/c");
    EXPECT_EQ(NativePath("c:\\\\Temp//x"), root.str() + "/c/Temp/x");
}

TEST(NativePath, DefaultsTheDriveRootWhenUnset)
{
    ScopedEnv env("QHV_DRIVE_ROOT", std::nullopt);
    EXPECT_EQ(NativePath("c:\\temp\\token.lck"), "/var/lib/qhvlogger/c/temp/token.lck");
}

TEST(NativePath, RootsALeadingBackslashOnTheCDrive)
{
    // An empty log directory gives "\name"; that must not reach the file-system root.
    TempDir root;
    ScopedEnv env("QHV_DRIVE_ROOT", root.str());
    std::filesystem::create_directories(root.path() / "c" / "Temp");
    EXPECT_EQ(NativePath("\\x.qhv"), root.str() + "/c/x.qhv");
    EXPECT_EQ(NativePath("\\temp/new\\"), root.str() + "/c/Temp/new/");
    EXPECT_EQ(NativePath("\\"), root.str() + "/c/");
    // No shares here: a UNC-like start is rooted on C: as well.
    EXPECT_EQ(NativePath("\\\\server\\share\\x"), root.str() + "/c/server/share/x");
    // A leading slash is a native absolute path, not the rooted Windows form.
    EXPECT_EQ(NativePath("/tmp\\x.qhv"), "/tmp/x.qhv");
}

TEST(NativePath, LeavesOtherPathsNativeApartFromSeparators)
{
    EXPECT_EQ(NativePath("/data/survey\\heave_2026.qhv"), "/data/survey/heave_2026.qhv");
    EXPECT_EQ(NativePath("relative\\log"), "relative/log");
    EXPECT_EQ(NativePath("translate.bin"), "translate.bin");
    EXPECT_EQ(NativePath(""), "");
}

TEST(NativePath, ResolvesExistingComponentsInAnyLetterCase)
{
    TempDir root;
    ScopedEnv env("QHV_DRIVE_ROOT", root.str());
    std::filesystem::create_directories(root.path() / "c" / "temp" / "Sub");
    EXPECT_EQ(NativePath("c:\\Temp\\SUB\\file.txt"), root.str() + "/c/temp/Sub/file.txt");
    EXPECT_EQ(NativePath("C:/TEMP/new/more"), root.str() + "/c/temp/new/more");
}

TEST(DirectoryPart, EndsAtTheLastSeparatorOrALeadingDrive)
{
    // A colon is a drive separator only right after a leading letter.
    EXPECT_EQ(DirectoryPart("D:\\log\\heave_12:30.qhv"), "D:\\log\\");
    EXPECT_EQ(DirectoryPart("heave_12:30.qhv"), "");
    EXPECT_EQ(DirectoryPart("log/a:b\\c:d"), "log/a:b\\");
    EXPECT_EQ(DirectoryPart("C:heave.qhv"), "C:");
    EXPECT_EQ(DirectoryPart("1:heave.qhv"), "");
    EXPECT_EQ(DirectoryPart("\\x.qhv"), "\\");
}
