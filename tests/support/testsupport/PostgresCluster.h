// A PostgreSQL cluster of one test's own, run by db/pg-cluster.sh, so that
// halting or freezing its server disturbs no other test. It serves the system
// database "ntrx" with the demo rows as data source NTRXDB (OdbcFolder()).
#pragma once

#include "testsupport/DemoDatabase.h"
#include "testsupport/TestUtils.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

class PostgresCluster {
public:
    PostgresCluster() { m_started = Run("start"); }
    ~PostgresCluster()
    {
        if (m_frozen > 0) {
            ::kill(m_frozen, SIGCONT);
        }
        Run("stop");
    }
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    bool Started() const { return m_started; }
    // The state folder, as QHV_DB_POSTGRES names it.
    std::string State() const { return (m_dir.path() / "pg").string(); }
    // ODBCSYSINI; ODBCINI is odbc.ini in it.
    std::filesystem::path OdbcFolder() const { return m_dir.path() / "pg" / "odbc"; }

    // start, stop, halt (a fast shutdown: clients lose their connections) or resume.
    bool Run(const std::string& action) const
    {
        const std::string script = (SourceDir() / "db" / "pg-cluster.sh").string();
        return std::system((ShellQuoted(script) + " " + action + " " + ShellQuoted(State()) + " >/dev/null").c_str()) ==
               0;
    }

    // Stops (SIGSTOP) or continues the server's main process: connects get no answer meanwhile.
    void Freeze(bool frozen)
    {
        const std::string cluster = ReadFile(m_dir.path() / "pg" / "cluster");
        m_frozen = std::stoi(ReadFile(cluster.substr(0, cluster.find('\n')) + "/data/postmaster.pid"));
        ::kill(m_frozen, frozen ? SIGSTOP : SIGCONT);
    }

    // The rows of a query on "ntrx" as psql prints them unaligned (fields
    // separated by '|', a row per line); empty when the query fails.
    std::string Query(const std::string& sql) const
    {
        const std::string port = ReadFile(m_dir.path() / "pg" / "port");
        const std::string command =
            "PGPASSWORD=qalvex4 \"$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)/psql\" -X -A -t "
            "-h 127.0.0.1 -p " + port.substr(0, port.find('\n')) + " -U trxuser -d ntrx -c " + ShellQuoted(sql) +
            " 2>/dev/null";
        std::string rows;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
                rows.append(buffer, n);
            }
            ::pclose(pipe);
        }
        return rows;
    }

private:
    TempDir m_dir;
    bool m_started = false;
    pid_t m_frozen = 0;
};

}  // namespace testsupport
