// A ready demo system database for tests: runs db/make-demo-db.sh so that
// ntrx.db lies under a temporary drive root, and points unixODBC at the private
// set-up it writes (data source "NTRXDB" on the SQLite ODBC driver). Sets
// QHV_DRIVE_ROOT, ODBCSYSINI and ODBCINI for the lifetime of the object; create
// it on the test's main thread before anything connects.
//
// unixODBC reads a data source's settings once per process and keeps them, so
// the data source names the database through a link whose path stays the same
// for the whole test process; each DemoDatabase points that link at its own file.
#pragma once

#include "testsupport/TestUtils.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace testsupport {

// The source tree: QHV_SOURCE_DIR, which every test target linking the test
// support gets, else taken from the path of this header (<source>/tests/support/testsupport/DemoDatabase.h).
inline std::filesystem::path SourceDir()
{
#ifdef QHV_SOURCE_DIR
    return std::filesystem::path(QHV_SOURCE_DIR);
#else
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
#endif
}

// Quotes a text for the shell.
inline std::string ShellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

class DemoDatabase {
public:
    // Creates <root>/c/ProgramData/Valdrena Marine/ntrx/ntrx.db, <root>/c/Temp and
    // the ODBC set-up in <root>/odbc.
    explicit DemoDatabase(const std::filesystem::path& root) : m_root(root)
    {
        const std::string command = ShellQuoted((SourceDir() / "db" / "make-demo-db.sh").string()) + " " +
                                    ShellQuoted(root.string()) + " " + ShellQuoted(odbcFolder().string());
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("make-demo-db.sh failed: " + command);
        }
        // Name the database through the process's link (see above).
        const std::filesystem::path ini = odbcFolder() / "odbc.ini";
        std::string text = ReadFile(ini);
        const std::string key = "Database    = ";
        const auto at = text.find(key);
        if (at == std::string::npos) {
            throw std::runtime_error("make-demo-db.sh wrote no Database line");
        }
        text.replace(at + key.size(), text.find('\n', at) - at - key.size(), dataSourceFile().string());
        WriteFile(ini, text);
        const std::filesystem::path newLink = dataSourceFile().string() + ".new";
        std::filesystem::remove(newLink);
        std::filesystem::create_symlink(databaseFile(), newLink);
        std::filesystem::rename(newLink, dataSourceFile());

        m_driveRoot.emplace("QHV_DRIVE_ROOT", root.string());
        m_odbcSysIni.emplace("ODBCSYSINI", odbcFolder().string());
        m_odbcIni.emplace("ODBCINI", (odbcFolder() / "odbc.ini").string());
    }

    ~DemoDatabase()
    {
        std::error_code ignored;
        if (std::filesystem::read_symlink(dataSourceFile(), ignored) == databaseFile()) {
            std::filesystem::remove(dataSourceFile(), ignored);
        }
    }
    DemoDatabase(const DemoDatabase&) = delete;
    DemoDatabase& operator=(const DemoDatabase&) = delete;

    const std::filesystem::path& root() const { return m_root; }
    std::filesystem::path odbcFolder() const { return m_root / "odbc"; }
    std::filesystem::path databaseFile() const
    {
        return m_root / "c" / "ProgramData" / "Valdrena Marine" / "ntrx" / "ntrx.db";
    }
    // The path the data source names (and SQL_DATABASE_NAME reports): a link to
    // databaseFile(), the same path for every DemoDatabase of this process.
    static std::filesystem::path dataSourceFile()
    {
        return std::filesystem::temp_directory_path() / ("qhv-ntrx-" + std::to_string(::getpid()) + ".db");
    }
    // Where the system's "c:\Temp" lies.
    std::filesystem::path tempFolder() const { return m_root / "c" / "Temp"; }

private:
    std::filesystem::path m_root;
    std::optional<ScopedEnv> m_driveRoot;
    std::optional<ScopedEnv> m_odbcSysIni;
    std::optional<ScopedEnv> m_odbcIni;
};

}  // namespace testsupport
