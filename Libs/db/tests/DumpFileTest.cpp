// The dump files of the database objects: the rotation over its files with a
// gap after the newest, names unique among the live objects, the size limit.
#include "db/DBoperations.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string DumpName(const std::string& name, int n) { return "db_" + name + "_" + std::to_string(n) + ".txt"; }

}  // namespace

namespace {

class DumpFileTest : public testing::Test {
protected:
    DumpFileTest() { std::filesystem::create_directories(temp()); }
    std::filesystem::path temp() const { return root.path() / "c" / "Temp"; }
    std::filesystem::path file(const std::string& name, int n) const { return temp() / DumpName(name, n); }

    TempDir root;
    ScopedEnv driveRoot { "QHV_DRIVE_ROOT", root.str() };
};

}  // namespace

TEST_F(DumpFileTest, FirstReportGoesIntoTheFirstGapAndMovesTheGapOn)
{
    for (int n = 0; n < 5; ++n) {
        WriteFile(file("ORVANTA", n), "old");
    }
    WriteFile(file("ORVANTA", 6), "older");
    {
        CDBoperations ops("ORVANTA");
        EXPECT_STREQ(ops.dumpFilePath(), "");
        EXPECT_EQ(ops.writeDebug("first 100%s\n"), 0);
        EXPECT_EQ(ops.writeDebug("second\n"), 0);
        EXPECT_STREQ(ops.dumpFilePath(), "c:\\Temp\\db_ORVANTA_5.txt");
        EXPECT_EQ(ReadFile(file("ORVANTA", 5)), "first 100%s\nsecond\n");
        EXPECT_FALSE(std::filesystem::exists(file("ORVANTA", 6)));
        EXPECT_EQ(ReadFile(file("ORVANTA", 4)), "old");
    }

    // The next object of that name takes the gap behind it.
    CDBoperations next("ORVANTA");
    next.writeDebug("x");
    EXPECT_STREQ(next.dumpFilePath(), "c:\\Temp\\db_ORVANTA_6.txt");
}

TEST_F(DumpFileTest, ObjectsOfOneNameNeverRotateEachOthersFiles)
{
    // Three objects named alike, as the loggers' objects are while the database
    // is down at start; each fills files and rotates through all 40.
    CDBoperations first("Unknown");
    CDBoperations second("Unknown");
    auto third = std::make_unique<CDBoperations>("Unknown");
    first.writeDebug("first\n");
    second.writeDebug("second\n");
    third->writeDebug("third\n");
    EXPECT_STREQ(first.dumpFilePath(), "c:\\Temp\\db_Unknown_0.txt");
    EXPECT_STREQ(second.dumpFilePath(), "c:\\Temp\\db_Unknown_2_0.txt");
    EXPECT_STREQ(third->dumpFilePath(), "c:\\Temp\\db_Unknown_3_0.txt");

    const std::string mebibyte(CDBoperations::DumpFileLimit, 'x');
    for (int n = 0; n < CDBoperations::DumpFileCount; ++n) {
        second.writeDebug(mebibyte.c_str());
    }
    EXPECT_EQ(ReadFile(file("Unknown", 0)), "first\n");
    EXPECT_EQ(ReadFile(file("Unknown_3", 0)), "third\n");
    first.writeDebug("still first\n");
    EXPECT_EQ(ReadFile(file("Unknown", 0)), "first\nstill first\n");

    // A name given up is taken again, and its rotation goes on behind its last file.
    third.reset();
    CDBoperations fourth("Unknown");
    fourth.writeDebug("fourth\n");
    EXPECT_STREQ(fourth.dumpFilePath(), "c:\\Temp\\db_Unknown_3_1.txt");
}

TEST_F(DumpFileTest, WithAll40FilesTheFirstIsReused)
{
    for (int n = 0; n < 40; ++n) {
        WriteFile(file("ORVANTA", n), "old");
    }
    CDBoperations ops("ORVANTA");
    ops.writeDebug("new");
    EXPECT_EQ(ReadFile(file("ORVANTA", 0)), "new");
    EXPECT_FALSE(std::filesystem::exists(file("ORVANTA", 1)));
    EXPECT_EQ(ReadFile(file("ORVANTA", 39)), "old");
}

TEST_F(DumpFileTest, TheLastFileWrapsTheGapToTheFirst)
{
    for (int n = 1; n < 40; ++n) {
        WriteFile(file("P2XLogger", n), "old");
    }
    WriteFile(file("P2XLogger", 0), "old");
    std::filesystem::remove(file("P2XLogger", 39));
    CDBoperations ops("P2XLogger");
    ops.writeDebug("new");
    EXPECT_EQ(ReadFile(file("P2XLogger", 39)), "new");
    EXPECT_FALSE(std::filesystem::exists(file("P2XLogger", 0)));
}

TEST_F(DumpFileTest, WithoutTheFolderTheTextIsDroppedUntilItExists)
{
    std::filesystem::remove_all(temp());
    CDBoperations ops("Unknown");
    ops.writeDebug("lost\n");
    EXPECT_STREQ(ops.dumpFilePath(), "");
    std::filesystem::create_directories(root.path() / "c" / "temp");  // any letter case
    ops.writeDebug("kept\n");
    EXPECT_STREQ(ops.dumpFilePath(), "c:\\Temp\\db_Unknown_0.txt");
    EXPECT_EQ(ReadFile(root.path() / "c" / "temp" / "db_Unknown_0.txt"), "kept\n");
}

TEST_F(DumpFileTest, NamesKeepTheir31FirstCharacters)
{
    CDBoperations ops("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    EXPECT_STREQ(ops.name(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
    ops.writeDebug("x");
    EXPECT_TRUE(std::filesystem::exists(file("ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 0)));
}

TEST_F(DumpFileTest, AFullFileGivesWayToTheNextOfTheRotation)
{
    for (int n = 0; n < 39; ++n) {
        WriteFile(file("ORVANTA", n), "old");
    }
    CDBoperations ops("ORVANTA");
    const std::string kibibyte = std::string(1023, 'x') + "\n";
    for (int i = 0; i < 1024; ++i) {
        ops.writeDebug(kibibyte.c_str());
    }
    EXPECT_EQ(std::filesystem::file_size(file("ORVANTA", 39)), CDBoperations::DumpFileLimit);
    // The text that would cross the limit opens the next file, and the gap moves on.
    ops.writeDebug("next\n");
    EXPECT_STREQ(ops.dumpFilePath(), "c:\\Temp\\db_ORVANTA_0.txt");
    EXPECT_EQ(ReadFile(file("ORVANTA", 0)), "next\n");
    EXPECT_FALSE(std::filesystem::exists(file("ORVANTA", 1)));
    EXPECT_EQ(std::filesystem::file_size(file("ORVANTA", 39)), CDBoperations::DumpFileLimit);
    EXPECT_EQ(ReadFile(file("ORVANTA", 2)), "old");
}
