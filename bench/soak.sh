#!/usr/bin/env bash
# Soak run of the whole process in the embedded default set-up: QHVLogger fed by
# qhvsim with heave datagrams at 200 Hz and $PQRV sentences at 10 Hz, a new .qhv
# file every minute, garbage datagrams on the data and control ports all along,
# and half-way a database outage (the SQLite system database locked exclusively
# for 30 s) overlapping by 10 s a full disk (the log folder, a small tmpfs,
# filled for 30 s and freed again). At the end: datagrams sent and records
# written, the files (each checked by qhvdump), the process's resident memory,
# open descriptors and threads at the start and at the end, and every fault
# line of the trace and the process log.
#
# As root the run has a network namespace of its own (loopback only), so no
# test or bench of the same machine shares its ports: every QHVLogger binds
# control port 5076 with reuse-address, and a second one would take the
# other's control sentences. The kernel's drops on the process's own sockets
# are counted, and another process bound to one of its ports is named.
#
#   bench/soak.sh [--build DIR] [--minutes M] [--folder DIR] [--no-faults]
#
# --build DIR    where bin/QHVLogger, qhvsim, qhvctl, qhvdump are (default build)
# --minutes M    length of the run, at least 2 (default 10)
# --folder DIR   the set-up and everything written (default DIR/soak of the
#                build); made fresh at every run
# --no-faults    no database outage, no full disk
#
# The files written stay in FOLDER/drive/c/survey (copied off the tmpfs at the end).
#
# The full disk needs root (a tmpfs is mounted on the log folder); without root
# it is left out, and the output says so. Exit code 0 when the process ran to
# the end, ended with exit code 0 and every file is whole.
# shellcheck disable=SC2016  # single-quoted talkers: "$PQRV" and "$ZELIX" are no variables
set -euo pipefail

# Once more in a network namespace of its own, with its loopback up.
if [[ $(id -u) -eq 0 && -z ${QHV_SOAK_NETNS:-} ]] && command -v unshare >/dev/null && command -v ip >/dev/null; then
  exec unshare --net -- env QHV_SOAK_NETNS=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$here/build
minutes=10
folder=''
faults=1
while (($#)); do
  case $1 in
    --build) build=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --folder) folder=$2; shift 2 ;;
    --no-faults) faults=0; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | grep -v -e shellcheck -e '^set ' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak.sh: unknown option $1 (--help shows them)" >&2; exit 2 ;;
  esac
done
if ! [[ $minutes =~ ^[0-9]+$ ]] || ((minutes < 2)); then
  echo "soak.sh: --minutes takes a whole number of at least 2" >&2
  exit 2
fi
build=$(cd "$build" && pwd)
bin=$build/bin
folder=${folder:-$build/soak}
duration=$((minutes * 60))
half=$((duration / 2))
db_from=$((half - 20)) db_to=$((half + 10))      # database locked
disk_from=$half disk_to=$((half + 30))           # log folder full

# A fresh set-up: demo database, ODBC data source, property file, env.sh. Only
# a folder of an earlier run (or an empty one) is cleared.
if [[ -d $folder && -n $(ls -A "$folder") && ! -e $folder/env.sh ]]; then
  echo "soak.sh: $folder holds something else than an earlier soak run; name another --folder" >&2
  exit 2
fi
rm -rf "$folder"
QHV_DEMO_FRESH=1 "$here/tools/prepare-default.sh" "$folder" >/dev/null
# shellcheck source=/dev/null
source "$folder/env.sh"
drive=$QHV_DRIVE_ROOT
survey=$drive/c/survey
database="$drive/c/ProgramData/Valdrena Marine/ntrx/ntrx.db"
log=$folder/log
heave_port=31102 p2x_port=31202
mkdir -p "$survey" "$folder/garbage"

mounted=0 logger_pid='' sim_pid='' garbage_pid='' lock_pid='' locked=0
cleanup() {
  for pid in $garbage_pid $lock_pid $sim_pid; do
    kill "$pid" 2>/dev/null || true
  done
  if [[ -n $logger_pid ]] && kill -0 "$logger_pid" 2>/dev/null; then
    kill -KILL "$logger_pid" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  if ((mounted)); then
    mkdir -p "$folder/survey.kept"
    cp -a "$survey/." "$folder/survey.kept/" 2>/dev/null || true
    umount "$survey" 2>/dev/null || true
    rmdir "$survey" 2>/dev/null && mv "$folder/survey.kept" "$survey"
  fi
}
trap cleanup EXIT

if ((faults)); then
  if [[ $(id -u) -eq 0 ]] && mount -t tmpfs -o size=32m,mode=0755 qhv-soak "$survey"; then
    mounted=1
  else
    echo "soak: not root or no tmpfs: the full disk is left out"
  fi
fi

clock() { printf '%4d s' "$SECONDS"; }
say() { echo "$(clock)  $*"; }
# Resident memory (kB), open descriptors and threads of the process.
usage() {
  local rss threads fds
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$logger_pid/status")
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$logger_pid/status")
  fds=$(find "/proc/$logger_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  echo "rss ${rss} kB, ${fds} descriptors, ${threads} threads"
}
# qhvdump --count over the files of one kind; 0 when there are none.
count() {
  local n
  n=$(find "$survey" -name "*.$1" -print0 | xargs -0r "$bin/qhvdump" --count 2>/dev/null) || true
  echo "${n:-0}"
}
records() { count qhv; }
# Datagrams the kernel dropped on the process's UDP sockets (full receive buffer).
drops() {
  local inodes
  inodes=$(find "/proc/$logger_pid/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n' | paste -sd'|')
  awk -v inodes="^($inodes)$" 'NR > 1 && $10 ~ inodes { n += $NF } END { print n + 0 }' /proc/net/udp
}
# Other processes bound to one of the process's ports: they take its datagrams.
intruders() {
  ss -Hulnp "( sport = :5076 or sport = :$heave_port or sport = :$p2x_port )" 2>/dev/null |
    grep -v "pid=$logger_pid," | awk '{ print $4, $NF }' | paste -sd';' || true
}

# Garbage (the $ of the talkers meant literally): nothing a logger may take for a heave datagram or a sentence of
# type 25 to 27, nothing the supervisor takes for a command. One file a datagram.
g=$folder/garbage
head -c 200 /dev/urandom >"$g/random.raw"
for n in 1 7 12 13 14 52 60 200; do { printf 'G'; head -c $((n - 1)) /dev/urandom; } >"$g/random-$n.heave"; done
{ printf '\xaaR'; head -c 10 /dev/urandom; } >"$g/short-r.heave"                    # 12 bytes
{ printf '\xaaR\x01\x02#'; head -c 8 /dev/urandom; } >"$g/hash-r.heave"             # '#' at offset 4
{ printf '\xaaX'; head -c 50 /dev/urandom; } >"$g/kind-x.heave"
printf '$PQRV' >"$g/talker.p2x"
printf '$PQRV,abc,1,X*00\r\n' >"$g/no-type.p2x"
printf '$PQRV,99,1,UNKNOWN*00\r\n' >"$g/type-99.p2x"
printf '$PQRV,2147483648,1*00\r\n' >"$g/too-large.p2x"
printf '$PQRV,24\r\n' >"$g/type-24.p2x"
printf '$ZELIX' >"$g/talker.ctl"
printf '$ZELIX,abc,\n\r' >"$g/no-number.ctl"
printf '$ZELIX,99999999999,\n\r' >"$g/too-large.ctl"
printf '$ZELIX,999,x,y\n\r' >"$g/unknown.ctl"
printf 'hello\n' >"$g/text.ctl"

echo "soak: $minutes min in $folder; heave 200 Hz, \$PQRV 10 Hz, a new .qhv file a minute, garbage 10 a second"
if [[ -n ${QHV_SOAK_NETNS:-} ]]; then
  echo "soak: in a network namespace of its own: no other process shares its ports"
else
  echo "soak: sharing the machine's ports (not root): a test binding 5076, 31102 or 31202 meanwhile disturbs the run"
fi
if ((faults)); then
  echo "soak: database locked from ${db_from} s to ${db_to} s; log folder full from ${disk_from} s to ${disk_to} s$( ((mounted)) || echo ' (left out)')"
fi

SECONDS=0
(cd "$folder" && exec "$bin/QHVLogger" -debug 8 -noconsole >"$log/console.txt" 2>&1) &
logger_pid=$!
until grep -q 'UDP receive starting' "$log/QHVLogger.log" 2>/dev/null; do
  kill -0 "$logger_pid" 2>/dev/null || { echo "soak: QHVLogger ended at its start"; cat "$log/console.txt"; exit 1; }
  ((SECONDS < 60)) || { echo "soak: no control port after 60 s"; exit 1; }
  sleep 0.1
done

"$bin/qhvsim" --heave-rate 200 --p2x-rate 10 --change-every 60 --seconds "$((duration - SECONDS - 15))" \
  >"$log/qhvsim.txt" 2>&1 &
sim_pid=$!
# The P2X logger switches itself on (its parameter row says so). The heave
# logger takes its command once it has read its parameters: repeated until its
# first file is there.
until [[ -n $(find "$survey" -name '*.qhv' -print -quit) ]]; do
  "$bin/qhvctl" heave-start --dir 'C:\survey\qhv' --file 'heave__TOKY__TOKM__TOKD__TOKH__TOKN_.qhv' --interval 1 >/dev/null
  ((SECONDS < 60)) || { echo "soak: no .qhv file after 60 s"; exit 1; }
  sleep 2
done
say "logging; process $logger_pid"

(
  sent=0
  trap 'echo "$sent" >"$folder/garbage.count"; exit 0' TERM
  files=("$g"/*)
  while :; do
    file=${files[sent % ${#files[@]}]}
    case $file in
      *.ctl) port=5076 ;;
      *.p2x) port=$p2x_port ;;
      *) port=$(( sent % 2 ? heave_port : p2x_port )) ;;
    esac
    cat "$file" >"/dev/udp/127.0.0.1/$port" 2>/dev/null || true
    sent=$((sent + 1))
    sleep 0.1
  done
) &
garbage_pid=$!

sleep 5
start_usage=$(usage)
say "start: $start_usage"

next_report=60
last_others=''
while ((SECONDS < duration - 10)); do
  if ((faults && !locked && SECONDS >= db_from && SECONDS < db_to)); then
    locked=1
    # An exclusive transaction held open: every other connection finds the database locked.
    { echo 'BEGIN EXCLUSIVE;'; echo 'SELECT count(*) FROM qhv_param;'; sleep $((db_to - SECONDS)); echo 'COMMIT;'; } |
      sqlite3 "$database" >/dev/null &
    lock_pid=$!
    say "database locked"
  fi
  if [[ -n $lock_pid ]] && ! kill -0 "$lock_pid" 2>/dev/null; then
    wait "$lock_pid" || true
    lock_pid=''
    say "database free"
  fi
  if ((mounted)) && ((SECONDS >= disk_from)) && [[ ! -e $survey/filler ]] && ((SECONDS < disk_to)); then
    dd if=/dev/zero of="$survey/filler" bs=64k status=none 2>/dev/null || true
    say "log folder full: $(df -k --output=avail "$survey" | tail -1 | tr -d ' ') kB free"
  fi
  if [[ -e $survey/filler ]] && ((SECONDS >= disk_to)); then
    rm -f "$survey/filler"
    say "log folder free again"
  fi
  if ((SECONDS >= next_report)); then
    say "$(records) records written; $(usage); $(drops) dropped by the kernel"
    next_report=$((next_report + 60))
  fi
  others=$(intruders)
  if [[ -n $others && $others != "$last_others" ]]; then
    say "WARNING: another process is bound to a port of ours: $others"
  fi
  last_others=$others
  kill -0 "$logger_pid" 2>/dev/null || { say "QHVLogger ended by itself"; break; }
  sleep 1
done

wait "$sim_pid" || true
sim_pid=''
kill -TERM "$garbage_pid" 2>/dev/null || true
wait "$garbage_pid" 2>/dev/null || true
garbage_pid=''
sleep 1  # the last datagrams reach the files
end_usage=$(usage 2>/dev/null || echo "process gone")
end_drops=$(drops)
"$bin/qhvctl" terminate >/dev/null
status=0
for _ in $(seq 300); do kill -0 "$logger_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$logger_pid" 2>/dev/null; then
  status=124
  say "QHVLogger still runs 30 s after the terminate sentence"
else
  wait "$logger_pid" || status=$?
fi
logger_pid=''

echo
echo "== figures after $SECONDS s"
sent_line=$(grep 'sent' "$log/qhvsim.txt" | tail -1)
sent=$(sed -n 's/.*sent \([0-9]*\) heave datagrams.*/\1/p' <<<"$sent_line")
written=$(records)
lines=$(count p2x)
echo "qhvsim:          ${sent_line#qhvsim: }"
echo "garbage sent:    $(cat "$folder/garbage.count" 2>/dev/null || echo '?') datagrams"
echo "heave records:   $written written of ${sent:-?} sent ($(( ${sent:-0} - written )) not written)"
echo "kernel drops:    $end_drops datagrams on the process's sockets (receive buffer full)"
echo "P2X lines:       $lines"
echo "files:           $(find "$survey" -name '*.qhv' | wc -l) .qhv, $(find "$survey" -name '*.p2x' | wc -l) .p2x"
echo "process start:   $start_usage"
echo "process end:     $end_usage"
echo "exit code:       $status"
echo
echo "== files (qhvdump --check)"
whole=0
mapfile -t files < <(find "$survey" \( -name '*.qhv' -o -name '*.p2x' \) | sort)
if ((${#files[@]})) && "$bin/qhvdump" --check "${files[@]}" >"$log/check.txt" 2>&1; then
  whole=1
fi
sed -e "s|$survey/||" -e 's/^/  /' "$log/check.txt"

echo
echo "== fault lines of the trace (same text in a row counted once)"
awk '
  /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9]+ / { flush(); time = $1; text = substr($0, length($1) + 2); next }
  { text = text " " $0 }
  function flush() {
    gsub(/[ \t]+/, " ", text)
    if (text ~ /(ERROR|Error|WARN|Warn|fail|Not able|not able|Could not|No .* data)/) {
      if (text == last) { count++; lastTime = time; return }
      report()
      last = text; first = time; lastTime = time; count = 1
    }
    text = ""
  }
  function report() {
    if (count > 1) printf "  %s  %s   (x%d until %s)\n", first, last, count, lastTime
    else if (count == 1) printf "  %s  %s\n", first, last
    count = 0
  }
  END { flush(); report() }
' "$log/trace.log"
echo
echo "== operator messages the loggers wrote to the database (number: count, first and last time)"
sqlite3 -separator ' ' "$database" "SELECT number, count(*), min(millisecSinceMidnight), max(millisecSinceMidnight)
                                    FROM arrivedMessages GROUP BY number ORDER BY number;" |
  awk 'function t(ms) { return sprintf("%02d:%02d:%06.3f", ms / 3600000, ms / 60000 % 60, ms % 60000 / 1000) }
       { printf "  %s: %d, %s to %s\n", $1, $2, t($3), t($4) } END { if (NR == 0) print "  none" }'
echo
echo "== operator messages the database did not take, kept in the dump files"
cat "$drive"/c/Temp/db_*.txt 2>/dev/null | grep ' not recorded: ' | sed 's/^/  /' || echo "  none"
echo
echo "== warnings and errors of the process log"
grep -E ' (WARN|ERROR|FATAL) ' "$log/QHVLogger.log" | cut -d' ' -f3- | uniq -c | sed 's/^ */  /' || echo "  none"

((status == 0 && whole)) || exit 1
