// The fixture of the tests of the queries (suites named Db* run against SQLite
// and again against PostgreSQL): a database object connected to the test's
// system database, and its dump file. For the test's main thread.
#pragma once

#include "db/DBoperations.h"

#include "TestDatabase.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

// The day the arrivals of the tests are stored under.
constexpr int kDate = 20260314;

inline std::string DumpName(const std::string& name, int n)
{
    return "db_" + name + "_" + std::to_string(n) + ".txt";
}

class DbTest : public testing::Test {
protected:
    std::unique_ptr<CDBoperations> Connected(const char* name = "Tester")
    {
        auto ops = std::make_unique<CDBoperations>("Unknown");
        testing::internal::CaptureStderr();  // the SQLite lines of connect
        const int rc = ops->connect("NTRXDB", "trxuser", "qalvex4", name);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0);
        return ops;
    }

    std::string Dump(const std::string& name = "Tester", int n = 0)
    {
        return testsupport::ReadFile(db.tempFolder() / DumpName(name, n));
    }
    bool DumpExists(const std::string& name = "Tester") const
    {
        return std::filesystem::exists(db.tempFolder() / DumpName(name, 0));
    }

    dbtest::TestDatabase db;
};

inline std::string Repeat(char c, std::size_t n) { return std::string(n, c); }
