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
# The console shows this run's process log: files opened and closed, rates,
# status changes, errors and operator messages. The full trace goes to
# var/log/trace.log only, unless asked for on the console.
#
#   tools/run-demo.sh [build-folder] [-- QHVLogger options]   (default: -debug 25 -noconsole)
# Environment: QHVSIM_ARGS (default "--heave-rate 20 --p2x-rate 1 --change-every 30"),
#              QHV_DEMO_FRESH=1 rebuilds the demo database and token file,
#              QHV_DEMO_TRACE=1 puts the trace on the console (default options -debug 25).
# With options of your own the trace is on the console whenever they hold a
# non-zero -debug without -noconsole; else the process log is shown.
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
if ((!${#args[@]})); then
  args=(-debug 25)
  [[ ${QHV_DEMO_TRACE:-0} == 1 ]] || args+=(-noconsole)
fi
# True when the options send the trace to the console: a non-zero -debug
# without -noconsole. The process log is shown only when they do not.
trace_on_console() {
  local i mask=0
  for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
      -noconsole) return 1 ;;
      -debug) mask=${args[i + 1]:-0} ;;
    esac
  done
  [[ $mask =~ ^[0-9]+$ ]] && ((10#$mask % 256 != 0))
}
read -r -a simargs <<<"${QHVSIM_ARGS:---heave-rate 20 --p2x-rate 1 --change-every 30}"

var=$here/var
drive=$var/drive
"$here/tools/prepare-default.sh" "$var"
# shellcheck source=/dev/null
source "$var/env.sh"

bin=$build/bin
logger_pid='' sim_pid='' tail_pid=''
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
  if [[ -n $tail_pid ]]; then
    # tail ends by itself once the logger has ended and its last lines (the
    # files closed) are shown; it is no child of this shell, so it is not waited for.
    for _ in $(seq 30); do
      kill -0 "$tail_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$tail_pid" 2>/dev/null || true
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
if ! trace_on_console; then
  # This run's process-log lines on the console, following the log across a
  # rotation, until the logger has ended. Started from a subshell that ends at
  # once, so that the shell's own waits for the logger and the simulator never
  # wait for it.
  exec 3>&1
  tail_pid=$(
    tail -c "+$log_start" -F --pid="$logger_pid" "$log" 2>/dev/null >&3 &
    echo $!
  )
  exec 3>&-
fi

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
  operator messages:  source $var/env.sh; $bin/qhvctl messages
  full trace:         $var/log/trace.log
Press Ctrl-C to end everything.

TXT
status=0
wait "$logger_pid" || status=$?
finish "$status"
