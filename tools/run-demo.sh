#!/usr/bin/env bash
# The whole job in one command: QHVLogger against the embedded default system
# database, switched on with qhvctl and fed by the sensor simulator qhvsim,
# until Ctrl-C. Everything lives under ./var (nothing under /etc is touched):
#   var/drive        stands for the drive letters (QHV_DRIVE_ROOT); C:\ is var/drive/c
#   var/odbc         odbc.ini / odbcinst.ini with the data source NTRXDB (SQLite)
#   var/drive/c/ProgramData/Valdrena Marine/ntrx
#                    ntrx.db (system and token database), the token file
#                    TRXTokens.json, the log4cplus property file
#   var/log          the process log QHVLogger.log and the trace trace.log
#
#   tools/run-demo.sh [build-folder] [-- QHVLogger options]   (default: -debug 25)
# Environment: QHVSIM_ARGS (default "--heave-rate 20 --p2x-rate 1 --change-every 30"),
#              QHV_DEMO_FRESH=1 rebuilds the demo database and token file.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$here/build
if [[ $# -gt 0 && $1 != -- ]]; then
  build=$1
  shift
fi
build=$(cd "$build" && pwd)
[[ ${1:-} == -- ]] && shift
args=("$@")
((${#args[@]})) || args=(-debug 25)
read -r -a simargs <<<"${QHVSIM_ARGS:---heave-rate 20 --p2x-rate 1 --change-every 30}"

var=$here/var
drive=$var/drive
"$here/tools/prepare-default.sh" "$var"
# shellcheck source=/dev/null
source "$var/env.sh"

bin=$build/bin
logger_pid='' sim_pid=''
# Ends the simulator and the logger (unless it has ended already, with `1`),
# then shows what was written.
finish() {
  trap - INT TERM
  local status=${1:-}
  if [[ -n $sim_pid ]]; then
    kill -INT "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [[ -z $status ]]; then
    kill -INT "$logger_pid" 2>/dev/null || true
    status=0
    wait "$logger_pid" || status=$?
  fi
  echo
  echo "QHVLogger ended with exit code $status. What it wrote:"
  find "$drive/c/survey" -type f \( -name '*.qhv' -o -name '*.p2x' \) -printf '  %p  %s bytes\n' 2>/dev/null | sort
  exit "$status"
}
trap finish INT TERM

echo "Demo environment in $var; process log and trace in $var/log"
# The process log grows from run to run: only this run's lines count.
log=$var/log/QHVLogger.log
log_start=$(($(stat -c %s "$log" 2>/dev/null || echo 0) + 1))
this_run() { tail -c "+$log_start" "$log" 2>/dev/null; }
(cd "$var" && exec "$bin/QHVLogger" "${args[@]}") &
logger_pid=$!

# Ready once this process has claimed and opened the control port. A port that
# another QHVLogger holds (the service, an earlier make run) ends this one at
# once: nothing is then sent, or it would reach the other process.
ready=0
for _ in $(seq 300); do
  if this_run | grep -q 'UDP receive starting'; then
    ready=1
    break
  fi
  if ! kill -0 "$logger_pid" 2>/dev/null; then
    status=0
    wait "$logger_pid" || status=$?
    if this_run | grep -q 'another QHVLogger process listens on it'; then
      echo "Another QHVLogger holds the control port (the service, or an earlier make run):" >&2
      echo "stop it first (sudo systemctl stop qhvlogger), then run again." >&2
    fi
    finish "$status"
  fi
  sleep 0.1
done
if ((!ready)); then
  echo "QHVLogger did not open its control port within 30 s; see $log" >&2
  finish
fi
sleep 1  # both loggers read their parameters

"$bin/qhvctl" heave-start --dir 'C:\survey\qhv' --file 'heave__TOKY__TOKM__TOKD__TOKH__TOKN_.qhv' --interval 5
"$bin/qhvctl" p2x-start --dir 'C:\survey\p2x' --file 'p2x__TOKY__TOKM__TOKD__TOKH__TOKN__TOKS_.p2x' --interval 30
"$bin/qhvsim" "${simargs[@]}" &
sim_pid=$!

cat <<TXT

QHVLogger is logging. Heave datagrams go to port 31102, \$PQRV sentences to 31202.
  .qhv files grow in  $drive/c/survey/qhv   (a new file every 5 minutes)
  .p2x files grow in  $drive/c/survey/p2x   (a new file whenever a sentence changes)
  status sentences:   $bin/qhvctl listen        (in another terminal)
Press Ctrl-C to end everything.

TXT
status=0
wait "$logger_pid" || status=$?
finish "$status"
