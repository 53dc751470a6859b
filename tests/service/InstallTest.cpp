// make install DESTDIR=<temporary folder>, then the installed programs run the
// way the service runs them: QHVLogger -noconsole against the demo database of
// the installed make-demo-db.sh, logging through the installed property file,
// switched on by qhvctl, fed by qhvsim, checked by qhvdump, and reporting
// readiness and watchdog to a notify socket of the test's own.
#include "testsupport/NotifySocket.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/DemoDatabase.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::ShellQuoted;

namespace {

const std::string BinDir = QHV_INSTALL_BINDIR;
const std::string ConfDir = std::string(QHV_INSTALL_SYSCONFDIR) + "/qhvlogger";

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_destdir = new testsupport::TempDir;
        s_status = std::system((QHV_INSTALL_COMMAND + ShellQuoted(s_destdir->str()) + " >/dev/null").c_str());
    }
    static void TearDownTestSuite() { delete s_destdir; }
    // An absolute path of the installation, under DESTDIR.
    static fs::path At(const std::string& path) { return s_destdir->path() / fs::path(path).relative_path(); }
    static int Run(const std::string& program, const std::vector<std::string>& arguments)
    {
        return testsupport::ChildProcess(At(BinDir + "/" + program).string(), arguments).ExitCode().value_or(-2);
    }

    static inline testsupport::TempDir* s_destdir = nullptr;
    static inline int s_status = -1;
};

// The unit starts the installed program in the installed configuration, whose
// drivers exist, and systemd-analyze finds nothing to say about it.
TEST_F(Installed, UnitAndOdbcSetUpFitTheInstallation)
{
    ASSERT_EQ(s_status, 0);
    std::string unit = ReadFile(At(std::string(QHV_INSTALL_UNITDIR) + "/qhvlogger.service"));
    for (const std::string& line : { "ExecStart=" + BinDir + "/QHVLogger -noconsole $QHVLOGGER_OPTIONS\n",
                                     "WorkingDirectory=" + ConfDir + "\n", "Environment=ODBCSYSINI=" + ConfDir + "\n",
                                     "Environment=ODBCINI=" + ConfDir + "/odbc.ini\n" }) {
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    }
    const std::string drivers = ReadFile(At(ConfDir + "/odbcinst.ini"));
    const std::regex driverLine("\nDriver *= *(\\S+)");
    for (auto it = std::sregex_iterator(drivers.begin(), drivers.end(), driverLine); it != std::sregex_iterator(); ++it) {
        EXPECT_TRUE(fs::exists((*it)[1].str())) << (*it)[1].str();
    }

    // systemd-analyze wants the program where the unit names it: a copy names the staged one.
    testsupport::TempDir folder;
    unit.replace(unit.find("ExecStart=" + BinDir), 10 + BinDir.size(), "ExecStart=" + At(BinDir).string());
    testsupport::WriteFile(folder.path() / "qhvlogger.service", unit);
    const std::string report = (folder.path() / "report").string();
    EXPECT_EQ(std::system(("systemd-analyze verify " + ShellQuoted((folder.path() / "qhvlogger.service").string()) +
                           " >" + report + " 2>&1").c_str()), 0);
    EXPECT_EQ(ReadFile(report), "");
}

TEST_F(Installed, RunsAsTheServiceAgainstTheInstalledDemoDatabase)
{
    ASSERT_EQ(s_status, 0);
    testsupport::TempDir site;
    const fs::path drive = site.path() / "drive", odbc = site.path() / "odbc";
    ASSERT_EQ(std::system((ShellQuoted(At(QHV_INSTALL_DATADIR "/db/make-demo-db.sh").string()) + " " +
                           ShellQuoted(drive.string()) + " " + ShellQuoted(odbc.string()) + " >/dev/null").c_str()), 0);
    std::string properties = ReadFile(At(ConfDir + "/log4cplus_configureQHV.ini"));
    properties = std::regex_replace(properties, std::regex("/var/log/qhvlogger/"), site.str() + "/");
    testsupport::WriteFile(drive / "c/ProgramData/Valdrena Marine/ntrx/log4cplus_configureQHV.ini", properties);

    servicetest::NotifySocket notify(site.path());
    testsupport::ChildProcess logger(At(BinDir + "/QHVLogger").string(), { "-noconsole" },
                                     { "QHV_DRIVE_ROOT=" + drive.string(), "ProgramData=C:\\ProgramData",
                                       "ODBCSYSINI=" + odbc.string(), "ODBCINI=" + (odbc / "odbc.ini").string(),
                                       "QHV_LOG_ROOTS=" + (drive / "c/survey").string(),
                                       "NOTIFY_SOCKET=" + notify.Path(), "WATCHDOG_USEC=1000000" });
    ASSERT_TRUE(notify.WaitFor("READY=1")) << logger.Err();
    // Heave logging by command; P2X logging is on by the demo row.
    ASSERT_EQ(Run("qhvctl", { "heave-start", "--dir", "C:\\survey\\qhv", "--file", "heave__TOKEPOCSEC_.qhv" }), 0);
    ASSERT_EQ(Run("qhvsim", { "--heave-rate", "50", "--p2x-rate", "5", "--change-every", "0", "--seconds", "3" }), 0);
    EXPECT_GE(notify.Count("WATCHDOG=1"), 6u) << "every 400 ms for over 3 s";

    std::vector<fs::path> files;
    ASSERT_TRUE(testsupport::WaitFor([&] {
        files.clear();
        for (const auto& entry : fs::recursive_directory_iterator(drive / "c/survey")) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());  // p2x/ before qhv/
        return files.size() == 2 && ReadFile(files[1]).size() >= 20 * 15;
    }));
    const std::string p2x = ReadFile(files[0]), heave = ReadFile(files[1]);
    EXPECT_EQ(std::count(p2x.begin(), p2x.end(), '\n'), 4) << "the simulator's four sentences, once each";
    EXPECT_EQ(heave.substr(0, 4), std::string("\x0d\x00\xaa\x52", 4)) << "length 13, then the datagram";
    const auto byte = [&](int i) { return std::uint32_t(static_cast<unsigned char>(heave[2 + i])); };
    EXPECT_EQ(files[1].filename(), "heave_" + std::to_string(byte(2) << 24 | byte(3) << 16 | byte(4) << 8 | byte(5)) + ".qhv");
    EXPECT_EQ(Run("qhvdump", { "--check", files[0].string(), files[1].string() }), 0);

    logger.Signal(SIGTERM);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1"));
    EXPECT_EQ(logger.ExitCode(), 0) << logger.Err();
    EXPECT_NE(ReadFile(site.path() / "QHVLogger.log").find("Terminated!"), std::string::npos);

    // The set-up run a second time keeps the site's database (its messages
    // recorded meanwhile, say); only --replace makes the demo database anew.
    const fs::path database = drive / "c/ProgramData/Valdrena Marine/ntrx/ntrx.db";
    const auto makeDemo = [&](const std::string& option) {
        return std::system((ShellQuoted(At(QHV_INSTALL_DATADIR "/db/make-demo-db.sh").string()) + " " + option +
                            ShellQuoted(drive.string()) + " " + ShellQuoted(odbc.string()) + " 2>/dev/null")
                               .c_str());
    };
    const auto siteRows = [&] {
        const std::string rows = (site.path() / "rows").string();
        std::system(("sqlite3 " + ShellQuoted(database.string()) + " \"SELECT count(*) FROM users WHERE name = 'site'\" >" +
                     ShellQuoted(rows)).c_str());
        return ReadFile(rows);
    };
    ASSERT_EQ(std::system(("sqlite3 " + ShellQuoted(database.string()) +
                           " \"INSERT INTO users (id, name) VALUES (77, 'site')\"").c_str()),
              0);
    ASSERT_EQ(makeDemo(""), 0);
    EXPECT_EQ(siteRows(), "1\n") << "the site's database was replaced";
    EXPECT_TRUE(fs::exists(odbc / "odbc.ini"));
    ASSERT_EQ(makeDemo("--replace "), 0);
    EXPECT_EQ(siteRows(), "0\n");
}

}  // namespace
