#!/usr/bin/env bash
# Parts of scripts/check-package.sh that otherwise run only minutes into it,
# inside the booted Debian root: the script handed to that root must parse with
# /bin/sh, and its pg_data_source, run on packaging/odbc.ini.in, must give one
# data source NTRXDB on 127.0.0.1 whose driver odbcinst.ini defines.
#
#   tests/service/package-check-test.sh <source tree>
set -euo pipefail

src=${1:?usage: package-check-test.sh <source tree>}
script=$src/scripts/check-package.sh
failed=0
fail() { echo "FAIL  $*"; failed=1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

bash -n "$script" || fail "check-package.sh does not parse"
sed -n "/^  cat >\"\$root\/root\/qhv-check.sh\" <<'SH'\$/,/^SH\$/p" "$script" | sed '1d;$d' >"$tmp/inner.sh"
[[ -s $tmp/inner.sh ]] || fail "no script for the booted root in check-package.sh"
sh -n "$tmp/inner.sh" || fail "the booted root's script does not parse with sh"

# The function as the booted root runs it, its files moved here.
cp "$src/packaging/odbc.ini.in" "$tmp/odbc.ini"
sed -n '/^pg_data_source() {$/,/^}$/p' "$tmp/inner.sh" |
  sed "s|/etc/qhvlogger/odbc.ini|$tmp/odbc.ini|g; s|/root/odbc-pg.ini|$tmp/odbc-pg.ini|g" >"$tmp/function.sh"
. "$tmp/function.sh"
if pg_data_source; then
  [[ $(grep -c '^\[' "$tmp/odbc.ini") == 1 && $(grep -c '^\[NTRXDB\]$' "$tmp/odbc.ini") == 1 ]] ||
    fail "odbc.ini for PostgreSQL holds other sections than NTRXDB"
  grep -qx 'Servername *= 127.0.0.1' "$tmp/odbc.ini" || fail "odbc.ini for PostgreSQL does not name 127.0.0.1"
  driver=$(sed -n 's/^Driver *= *//p' "$tmp/odbc.ini")
  grep -qxF "[$driver]" "$src/packaging/odbcinst.ini.in" || fail "driver \"$driver\" not in odbcinst.ini"
else
  fail "pg_data_source finds no PostgreSQL section with its driver and pqopt in odbc.ini"
fi

((failed == 0)) && echo "package check script: ok"
exit "$failed"
