#!/usr/bin/env bash
# Checks the Debian package qhvlogger the way a site installs it. Run as root:
#
#   scripts/check-package.sh [qhvlogger_<version>_<arch>.deb]   (default: make package)
#
#  1. The package: control fields, conffiles, file list, lintian.
#  2. System calls: QHVLogger under strace through a whole run (database, heave
#     and P2X logging, SIGTERM), every call checked against the unit's
#     SystemCallFilter (@system-service without @privileged and the groups the
#     other settings take away).
#  3. A fresh Debian 12 root (debootstrap from apt's mirror): the package's
#     Depends, PostgreSQL and psqlODBC installed with apt-get, then the package
#     with dpkg -i; the user, the unit, systemd-analyze verify, every library
#     found.
#  4. That root booted with systemd-nspawn (systemd as PID 1, own network): the
#     service started for real against the demo database, heave and P2X files
#     written, qhvctl status and the status line, a frozen process killed by
#     the watchdog and started again, a clean stop with exit code 0. Then the
#     system database on PostgreSQL and the service started while the server
#     is down: it waits (status line, process log), becomes ready once the
#     server is up, logs heave and stops with exit code 0.
#  5. dpkg -r, then dpkg -P: nothing of the package is left but the user and
#     the site data in /var/lib/qhvlogger.
#
# Environment: QHV_CHECK_DIR (default /var/tmp/qhv-package-check) keeps the
# debootstrapped base root and the downloaded packages (apt-archives) for later
# runs beside the root of this run;
# QHV_MIRROR (default: the first URI of apt's sources); QHV_CHECK_BOOT=0 skips
# step 4. Installs debootstrap, systemd-container, lintian and strace when
# missing. Takes some minutes (the first debootstrap longer); not part of make test.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${QHV_CHECK_DIR:-/var/tmp/qhv-package-check}
boot=${QHV_CHECK_BOOT:-1}
failures=0

say() { printf '\n== %s\n' "$*"; }
pass() { printf 'PASS  %s\n' "$*"; }
fail() { printf 'FAIL  %s\n' "$*"; failures=$((failures + 1)); }
check() {  # check <description> <command...>
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

[[ $(id -u) -eq 0 ]] || { echo "check-package: run as root (debootstrap, chroot, systemd-nspawn)" >&2; exit 2; }
"$here/scripts/install-deps.sh" debootstrap systemd-container lintian strace

if [[ $# -ge 1 ]]; then
  deb=$(realpath "$1")
else
  make -C "$here" package
  deb=$(ls -t "$here"/build-deb/qhvlogger_*.deb | head -n 1)
fi
mirror=${QHV_MIRROR:-$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)}
mirror=${mirror:-http://deb.debian.org/debian}
echo "package: $deb"
echo "mirror:  $mirror"

# ---------------------------------------------------------------- 1. package
say "1. the package"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends Suggests
echo "conffiles:"; dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | sed 's/^/  /'
files=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
for f in /usr/bin/QHVLogger /usr/bin/qhvsim /usr/bin/qhvctl /usr/bin/qhvdump \
         /usr/share/qhvlogger/db/schema.sql /usr/share/qhvlogger/db/demo-data.sql \
         /usr/share/qhvlogger/db/make-demo-db.sh /lib/systemd/system/qhvlogger.service \
         /etc/qhvlogger/odbc.ini /etc/qhvlogger/odbcinst.ini /etc/qhvlogger/log4cplus_configureQHV.ini \
         /usr/share/doc/qhvlogger/examples/log4cplus_configureQHV.ini; do
  check "package holds $f" grep -qx "$f" <<<"$files"
done
echo "lintian:"
lintian --tag-display-limit 0 "$deb" 2>/dev/null | sed 's/^/  /' || true
if lintian "$deb" 2>/dev/null | grep -v -e no-copyright-file | grep -q '^E:'; then
  fail "lintian reports errors besides the missing copyright file"
else
  pass "lintian: no errors besides the missing copyright file"
fi

# ---------------------------------------------------------- 2. system calls
say "2. system calls against the unit's SystemCallFilter"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
bin=$unpacked/usr/bin
# Every system call of the groups, nested groups expanded.
expand() {
  local group line
  for group in "$@"; do
    systemd-analyze syscall-filter --no-pager "$group" | while read -r line; do
      case $line in
        '' | '#'* | "$group") ;;
        @*) expand "$line" ;;
        *) echo "$line" ;;
      esac
    done
  done
}
expand @system-service | sort -u >"$unpacked/allowed"
# Taken away: SystemCallFilter=~@privileged, and ProtectClock, PrivateDevices,
# ProtectKernelModules and ProtectKernelLogs take their groups away too.
{ expand @privileged @clock @raw-io @module; echo syslog; } | sort -u >"$unpacked/denied"
comm -23 "$unpacked/allowed" "$unpacked/denied" >"$unpacked/permitted"

site=$unpacked/site
"$unpacked/usr/share/qhvlogger/db/make-demo-db.sh" "$site/drive" "$site/odbc" >/dev/null
# Log files only below C:\survey, as the unit has it (QHV_LOG_ROOTS): the
# process then opens them with openat2, and makes the root when a path names it.
sed "s|/var/log/qhvlogger/|$site/|" "$unpacked/etc/qhvlogger/log4cplus_configureQHV.ini" \
  >"$site/drive/c/ProgramData/Valdrena Marine/ntrx/log4cplus_configureQHV.ini"
QHV_DRIVE_ROOT=$site/drive QHV_LOG_ROOTS=$site/drive/c/survey ProgramData='C:\ProgramData' ODBCSYSINI=$site/odbc ODBCINI=$site/odbc/odbc.ini \
  QT_LOGGING_RULES='*.debug=false' \
  strace -f -qq -o "$unpacked/strace" "$bin/QHVLogger" -noconsole -debug 31 >/dev/null 2>&1 &
tracer=$!
# Commands are taken once the control port and both data ports receive (three
# "UDP receive starting" lines); strace slows the start down by seconds.
for _ in $(seq 300); do
  [[ $(grep -c 'UDP receive starting' "$site/QHVLogger.log" 2>/dev/null) -ge 3 ]] && break
  sleep 0.2
done
"$bin/qhvctl" heave-start --dir 'C:\survey\qhv' --file 'heave__TOKEPOCSEC_.qhv'
"$bin/qhvsim" --seconds 4 --change-every 2 --with-52
"$bin/qhvctl" heave-stop
sleep 1
kill -TERM "$(pgrep -P "$tracer" -x QHVLogger)"
wait "$tracer" || true
# strace names a stop at a negative number (no call at all, seen around signal
# delivery) syscall_0xfff...; those are left out.
sed -nE 's/^[0-9]+ +(<\.\.\. )?([a-z_0-9]+)[( ].*/\2/p' "$unpacked/strace" | grep -v '^syscall_0xfffffff' |
  sort -u >"$unpacked/used"
echo "system calls used: $(wc -l <"$unpacked/used")"
outside=$(comm -23 "$unpacked/used" "$unpacked/permitted" | tr '\n' ' ')
check "every system call is in the filter${outside:+ (outside: $outside)}" test -z "$outside"
# RestrictSUIDSGID=yes makes systemd answer openat2 with ENOSYS (the filter
# cannot see the mode inside its argument struct); the process then opens the
# folders below QHV_LOG_ROOTS one name at a time, without following links.
# That the files are written under the unit is checked in the booted root.
check "the traced run wrote heave records" sh -c "ls '$site'/drive/c/survey/qhv/*.qhv >/dev/null"
check "the traced run ended with Terminated!" grep -q 'Terminated!' "$site/QHVLogger.log"

# ------------------------------------------------------ 3. fresh Debian root
say "3. install into a fresh Debian 12 root"
base=$work/base-bookworm
root=$work/root
mkdir -p "$work"
if [[ ! -x $base/usr/bin/apt-get ]]; then
  rm -rf "$base"
  debootstrap bookworm "$base" "$mirror"
fi
rm -rf "$root"
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"  # nothing starts inside the chroot
chmod +x "$root/usr/sbin/policy-rc.d"
cp "$deb" "$root/tmp/qhvlogger.deb"
mount --bind /proc "$root/proc"
trap 'umount "$root/proc" 2>/dev/null || true; rm -rf "$unpacked"' EXIT

depends=$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/,/ /g')
# The downloaded packages are kept beside the base root for the next run.
mkdir -p "$work/apt-archives/partial"
mount --bind "$work/apt-archives" "$root/var/cache/apt/archives"
trap 'umount "$root/var/cache/apt/archives" 2>/dev/null || true; umount "$root/proc" 2>/dev/null || true; rm -rf "$unpacked"' EXIT
chroot "$root" apt-get update -q
# PostgreSQL and its ODBC driver for the service started before its database server.
DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -q --no-install-recommends $depends sqlite3 \
  postgresql odbc-postgresql
umount "$root/var/cache/apt/archives"
check "dpkg -i installs the package" chroot "$root" dpkg -i /tmp/qhvlogger.deb
user=$(chroot "$root" getent passwd qhvlogger || true)
echo "user: $user"
check "system user qhvlogger (uid below 1000, no login)" \
  awk -F: '$3 < 1000 && $6 == "/var/lib/qhvlogger" && $7 == "/usr/sbin/nologin" { ok = 1 } END { exit !ok }' <<<"$user"
check "drive root /var/lib/qhvlogger owned by qhvlogger" \
  test "$(chroot "$root" stat -c %U "/var/lib/qhvlogger")" = qhvlogger
check "unit in place" test -f "$root/lib/systemd/system/qhvlogger.service"
verify=$(chroot "$root" env SYSTEMD_LOG_COLOR=0 systemd-analyze verify qhvlogger.service 2>&1) || true
echo "systemd-analyze verify: ${verify:-(nothing to report)}"
check "systemd-analyze verify is clean" test -z "$verify"
missing=$(chroot "$root" sh -c 'for p in /usr/bin/QHVLogger /usr/bin/qhvsim /usr/bin/qhvctl /usr/bin/qhvdump; do ldd $p; done' | grep 'not found' || true)
check "every shared library is found${missing:+ ($missing)}" test -z "$missing"
echo "systemd-analyze security (offline):"
chroot "$root" systemd-analyze security --offline=true --no-pager qhvlogger.service 2>&1 | tail -n 3 | sed 's/^/  /' || true
umount "$root/proc"
rm -f "$root/usr/sbin/policy-rc.d"

# ------------------------------------------------------ 4. boot the root
if [[ $boot == 1 ]]; then
  say "4. the service under systemd (systemd-nspawn --boot)"
  cat >"$root/root/qhv-check.sh" <<'SH'
#!/bin/sh
# Runs in the booted root: qhvlogger.service for real.
log=/root/qhv-check.log
: >$log
failed=0
check() {
  what=$1; shift
  if "$@" >>$log 2>&1; then echo "PASS  $what" >>$log; else echo "FAIL  $what" >>$log; failed=1; fi
}
state() { systemctl show -P "$1" qhvlogger.service; }
wait_until() {  # wait_until <seconds> <command...>
  n=$(( $1 * 5 )); shift
  while [ $n -gt 0 ]; do "$@" && return 0; sleep 0.2; n=$((n - 1)); done
  return 1
}

check "demo database made as the service user" \
  runuser -u qhvlogger -- /usr/share/qhvlogger/db/make-demo-db.sh /var/lib/qhvlogger /var/lib/qhvlogger/demo-odbc
# The log root C:\survey is not made beforehand: the loggers make it when
# their first files name it, the heave and the P2X logger perhaps at once.
check "systemctl start returns once the process is ready" systemctl start qhvlogger.service
check "service active" systemctl is-active qhvlogger.service
echo "  $(systemctl show -p MainPID -p User -p WatchdogUSec -p NRestarts qhvlogger.service | tr '\n' ' ')" >>$log
check "system call filter and no new privileges in force" \
  sh -c "grep -q '^Seccomp:[[:space:]]*2' /proc/$(state MainPID)/status && grep -q '^NoNewPrivs:[[:space:]]*1' /proc/$(state MainPID)/status"
check "heave logging switched on" qhvctl heave-start --dir 'C:\survey\qhv' --file 'heave__TOKEPOCSEC_.qhv'
check "sensor simulated for 5 s" qhvsim --seconds 5 --change-every 0
# qhvdump runs as the service user: it brings the process's token store along,
# which makes its lock and missing-tokens files in the drive root.
check "qhvdump finds whole .qhv and .p2x files" \
  runuser -u qhvlogger -- sh -c 'qhvdump --check /var/lib/qhvlogger/c/survey/qhv/*.qhv /var/lib/qhvlogger/c/survey/p2x/*.p2x'
check "files belong to qhvlogger" sh -c 'test "$(stat -c %U /var/lib/qhvlogger/c/survey/qhv/*.qhv)" = qhvlogger'
check "status socket in /run/qhvlogger, mode 0660" test "$(stat -c %a /run/qhvlogger/status.sock)" = 660
check "qhvctl status: all that is on is flowing (exit code 0)" qhvctl status
check "the status line in systemctl status" \
  sh -c 'systemctl show -P StatusText qhvlogger.service | grep -q "^heave: ON .* | p2x: ON .* | database: connected$"'
check "process log in /var/log/qhvlogger" grep -q "QHV Logger starts" /var/log/qhvlogger/QHVLogger.log
check "still the first process (no restart, no seccomp kill)" test "$(state NRestarts)" = 0
# A command that names the database's folder is refused (QHV_LOG_ROOTS of the unit).
db="/var/lib/qhvlogger/c/ProgramData/Valdrena Marine/ntrx"
qhvctl heave-start --dir 'C:\ProgramData\Valdrena Marine\ntrx' --file ntrx.db >>$log 2>&1
qhvsim --seconds 2 --p2x-rate 0 >>$log 2>&1
check "the database folder is no log folder" \
  sh -c "test \$(ls '$db' | grep -c ntrx.db) = 1 && sqlite3 '$db/ntrx.db' 'select count(*) from process' >/dev/null"

# A frozen process: with a 3 s watchdog systemd kills it and starts it again.
mkdir -p /run/systemd/system/qhvlogger.service.d
printf '[Service]\nWatchdogSec=3s\n' >/run/systemd/system/qhvlogger.service.d/watchdog.conf
systemctl daemon-reload
check "restarted with a 3 s watchdog" systemctl restart qhvlogger.service
frozen=$(state MainPID)
# MainPID is 0 between two processes; kill -STOP 0 would stop this script.
[ "${frozen:-0}" -gt 0 ] && kill -STOP "$frozen"
restarted() { [ "$(state NRestarts)" -ge 1 ] && [ "$(state ActiveState)" = active ] && [ "$(state MainPID)" != "$frozen" ]; }
check "frozen process killed by the watchdog and started again" wait_until 60 restarted
journalctl -u qhvlogger.service --no-pager | grep -i -e watchdog -e 'Scheduled restart' >>$log
rm -r /run/systemd/system/qhvlogger.service.d
systemctl daemon-reload

check "systemctl stop" systemctl stop qhvlogger.service
check "ended with exit code 0" test "$(state ExecMainStatus)" = 0
check "stop result success" test "$(state Result)" = success
journalctl -u qhvlogger.service --no-pager -o cat | sed 's/^/  journal: /' | tail -n 40 >>$log

# The system database on PostgreSQL, and the service started before its
# server: it waits, saying so in its status line, and becomes ready once the
# server is up.
echo "  -- PostgreSQL" >>$log
psql_admin() { runuser -u postgres -- psql -X -q -v ON_ERROR_STOP=1 -c "$1"; }
pg_up() { pg_isready -q -h 127.0.0.1; }
make_pg_database() {
  psql_admin "CREATE ROLE trxuser LOGIN PASSWORD 'qalvex4'" &&
    psql_admin "CREATE DATABASE ntrx OWNER trxuser ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0"
}
check "PostgreSQL server up" wait_until 60 pg_up
check "role trxuser and database ntrx made" make_pg_database
check "schema and demo rows loaded as trxuser" \
  env PGPASSWORD=qalvex4 psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -U trxuser -d ntrx --single-transaction \
    -f /usr/share/qhvlogger/db/schema.sql -f /usr/share/qhvlogger/db/demo-data.sql
# The data source from the PostgreSQL section that odbc.ini carries commented
# out (its settings lines start with ';' and no blank), on this machine's server.
pg_data_source() {
  sed -n 's/^;\([[A-Za-z]\)/\1/p' /etc/qhvlogger/odbc.ini |
    sed 's/^Servername *=.*/Servername   = 127.0.0.1/' >/root/odbc-pg.ini &&
    grep -q '^Driver *= *PostgreSQL Unicode' /root/odbc-pg.ini && grep -q '^pqopt *=' /root/odbc-pg.ini &&
    cp /root/odbc-pg.ini /etc/qhvlogger/odbc.ini
}
check "odbc.ini: data source NTRXDB from its PostgreSQL section" pg_data_source
sed 's/^/  odbc.ini: /' /etc/qhvlogger/odbc.ini >>$log
check "PostgreSQL stopped" systemctl stop postgresql.service
pg_down() { ! pg_up; }
check "PostgreSQL refuses connections" wait_until 30 pg_down
: >/var/log/qhvlogger/QHVLogger.log
check "systemctl start --no-block" systemctl start --no-block qhvlogger.service
waiting() { [ "$(state ActiveState)" = activating ] && state StatusText | grep -q 'Waiting for the system database NTRXDB: attempt [0-9]* failed; next in [0-9]* s'; }
check "status line: waiting for the system database, start still activating" wait_until 15 waiting
echo "  status: $(state StatusText)" >>$log
sleep 8
check "process log: waiting for the system database" \
  grep -q 'Waiting for the system database NTRXDB: attempt [0-9]* failed' /var/log/qhvlogger/QHVLogger.log
check "still activating after 8 s without the database" test "$(state ActiveState)" = activating
check "PostgreSQL started" systemctl start postgresql.service
pg_started=$(date +%s)
ready() { [ "$(state ActiveState)" = active ]; }
check "service active (ready) within 60 s of the database" wait_until 60 ready
echo "  ready $(( $(date +%s) - pg_started )) s after PostgreSQL started; $(grep -c 'Waiting for the system database' /var/log/qhvlogger/QHVLogger.log) failed attempts logged" >>$log
check "status line cleared" test -z "$(state StatusText)"
check "heave logging switched on (PostgreSQL)" qhvctl heave-start --dir 'C:\survey\pg' --file 'heave__TOKEPOCSEC_.qhv'
check "sensor simulated for 4 s (PostgreSQL)" qhvsim --seconds 4 --change-every 0
check "qhvdump finds whole .qhv files (PostgreSQL)" \
  runuser -u qhvlogger -- sh -c 'qhvdump --check /var/lib/qhvlogger/c/survey/pg/*.qhv'
check "systemctl stop (PostgreSQL)" systemctl stop qhvlogger.service
check "ended with exit code 0 (PostgreSQL)" test "$(state ExecMainStatus)" = 0
check "stop result success (PostgreSQL)" test "$(state Result)" = success
journalctl -u qhvlogger.service --no-pager -o cat | sed 's/^/  journal: /' | tail -n 20 >>$log
[ $failed = 0 ] && echo "RESULT ok" >>$log || echo "RESULT failed" >>$log
SH
  chmod +x "$root/root/qhv-check.sh"
  cat >"$root/etc/systemd/system/qhv-check.service" <<'UNIT'
[Unit]
Description=Package check of qhvlogger
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/root/qhv-check.sh
ExecStopPost=/bin/systemctl --no-block poweroff
UNIT
  ln -sf /etc/systemd/system/qhv-check.service "$root/etc/systemd/system/multi-user.target.wants/qhv-check.service"
  rm -f "$root/root/qhv-check.log"
  # Without systemd on the host: no machine registration and no scope of its own.
  timeout 600 systemd-nspawn -q -D "$root" --private-network --register=no --keep-unit --boot --console=pipe \
    </dev/null >"$work/boot.log" 2>&1 || echo "systemd-nspawn ended with $? (console in $work/boot.log)"
  rm -f "$root/etc/systemd/system/multi-user.target.wants/qhv-check.service" "$root/etc/systemd/system/qhv-check.service"
  if [[ -f $root/root/qhv-check.log ]]; then
    sed 's/^/  /' "$root/root/qhv-check.log"
    check "service checks in the booted root" grep -qx 'RESULT ok' "$root/root/qhv-check.log"
  else
    fail "the booted root ran no checks (console in $work/boot.log)"
  fi
else
  say "4. skipped (QHV_CHECK_BOOT=0)"
fi

# ------------------------------------------------------ 5. remove and purge
say "5. dpkg -r and dpkg -P"
chroot "$root" dpkg -L qhvlogger >"$work/files"
check "dpkg -r removes the package" chroot "$root" dpkg -r qhvlogger
check "conffiles stay until purge" test -f "$root/etc/qhvlogger/odbc.ini"
check "dpkg -P purges the package" chroot "$root" dpkg -P qhvlogger
left=$(while read -r f; do
         [[ -e $root$f && ! -d $root$f ]] && echo "$f"
         [[ -d $root$f && $f == *qhvlogger* ]] && echo "$f/"
       done <"$work/files" || true)
check "no file of the package left${left:+ (left: $left)}" test -z "$left"
check "process logs removed" test ! -e "$root/var/log/qhvlogger"
check "user qhvlogger kept" chroot "$root" getent passwd qhvlogger
if [[ -d $root/var/lib/qhvlogger ]]; then
  echo "site data kept in /var/lib/qhvlogger: $(find "$root/var/lib/qhvlogger" -type f | wc -l) files"
fi

say "result"
if ((failures == 0)); then
  echo "check-package: all checks passed"
else
  echo "check-package: $failures check(s) failed"
  exit 1
fi
