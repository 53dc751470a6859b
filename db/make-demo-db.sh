#!/usr/bin/env bash
# Creates the demo system database and a private ODBC set-up for it.
#
#   db/make-demo-db.sh [--replace] <drive-root> <odbc-folder>
#
# <drive-root>   the folder that stands for the drive letters (QHV_DRIVE_ROOT).
#                The database is written to the place where the system looks for
#                "C:\ProgramData\Valdrena Marine\ntrx\ntrx.db":
#                <drive-root>/c/ProgramData/Valdrena Marine/ntrx/ntrx.db
#                The folder <drive-root>/c/Temp (database dump files, token lock
#                file, missing-tokens file) is created as well.
# <odbc-folder>  receives odbcinst.ini (driver "SQLite3") and odbc.ini (data
#                source "NTRXDB" on that file, NoCreat=1 so a wrong path fails
#                instead of creating an empty database, and Timeout=1000: the
#                driver waits that many milliseconds for a file another program
#                holds locked, about twice over per statement, and ignores
#                ODBC's statement timeout; so a logger's job that records a
#                message waits about 2 s on a locked file, once per attempt).
#
# Then point unixODBC at the private set-up:
#   export QHV_DRIVE_ROOT=<drive-root>
#   export ODBCSYSINI=<odbc-folder> ODBCINI=<odbc-folder>/odbc.ini
#
# The database is built from db/schema.sql and db/demo-data.sql into a temporary
# file and moved into place, so a process that still has an old file open is
# not disturbed. An existing database is a site's: it is kept, and only the
# ODBC set-up is written, unless --replace asks for a fresh demo database over
# it. Needs sqlite3.
set -euo pipefail

replace=0
if [[ ${1:-} == --replace ]]; then
  replace=1
  shift
fi
if [[ $# -ne 2 ]]; then
  echo "usage: $0 [--replace] <drive-root> <odbc-folder>" >&2
  exit 2
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
drive_root=$(mkdir -p "$1" && cd "$1" && pwd)
odbc_dir=$(mkdir -p "$2" && cd "$2" && pwd)

driver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so
if [[ ! -e $driver ]]; then
  for candidate in /usr/lib/*/odbc/libsqlite3odbc.so /usr/lib/odbc/libsqlite3odbc.so; do
    if [[ -e $candidate ]]; then driver=$candidate; break; fi
  done
fi

db_dir="$drive_root/c/ProgramData/Valdrena Marine/ntrx"
db_file="$db_dir/ntrx.db"
mkdir -p "$db_dir" "$drive_root/c/Temp"

if [[ -e $db_file && $replace == 0 ]]; then
  echo "$db_file exists: kept (--replace builds the demo database over it)" >&2
else
  tmp_file=$(mktemp "$db_dir/.ntrx.db.XXXXXX")
  trap 'rm -f "$tmp_file"' EXIT
  rm -f "$tmp_file"
  {
    echo "BEGIN;"
    cat "$here/schema.sql" "$here/demo-data.sql"
    echo "COMMIT;"
  } | sqlite3 -bail "$tmp_file"
  mv -f "$tmp_file" "$db_file"
  trap - EXIT
fi

cat >"$odbc_dir/odbcinst.ini" <<EOF
[SQLite3]
Description = SQLite3 ODBC driver
Driver      = $driver
Setup       = $driver
UsageCount  = 1
EOF

cat >"$odbc_dir/odbc.ini" <<EOF
[NTRXDB]
Description = QHVLogger demo system database
Driver      = $driver
Database    = $db_file
NoCreat     = 1
Timeout     = 1000
EOF
