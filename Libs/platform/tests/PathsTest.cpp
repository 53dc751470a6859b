#include "platform/Paths.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <filesystem>

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
