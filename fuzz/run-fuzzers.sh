#!/usr/bin/env bash
# Runs the fuzz targets built in BUILD/bin, each over its seed corpus for a
# bounded time, one after the other, and prints executions, seconds and the
# outcome per target.
#
#   fuzz/run-fuzzers.sh BUILD SECONDS [TARGET...]     (default: every target)
#
# FUZZ_RUNS   stop a target after that many inputs (before SECONDS if reached)
# FUZZ_ARGS   further libFuzzer options for every target
# FUZZ_TMPDIR where the targets make their scratch folders (default
#             BUILD/fuzz-tmp); on a tmpfs such as /dev/shm a target that makes
#             folders runs many times faster than on a journalled disk
#
# The seeds in fuzz/corpus/<target> are only read; inputs that reach new code
# are kept in BUILD/fuzz-corpus/<target> for the next run. A finding (crash,
# sanitizer report, broken property, leak, timeout) is written to
# BUILD/fuzz-findings/ and makes the script exit 1 after the last target.
set -euo pipefail

if (($# < 2)); then
  sed -n '2,17p' "$0" >&2
  exit 2
fi
build=$(realpath "$1")
seconds=$2
shift 2
source_dir=$(cd "$(dirname "$0")" && pwd)

if (($# > 0)); then
  targets=("$@")
else
  targets=()
  for dir in "$source_dir"/corpus/*/; do
    targets+=("$(basename "$dir")")
  done
fi

mkdir -p "$build/fuzz-corpus" "$build/fuzz-findings" "$build/fuzz-logs"
# Each target makes its scratch drive root here; a target ended by a finding
# leaves its folder behind, so the area starts empty at every run.
scratch=${FUZZ_TMPDIR:-$build/fuzz-tmp}/qhv-fuzz-scratch
rm -rf "$scratch"
mkdir -p "$scratch"
export TMPDIR=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$source_dir/lsan.supp}

printf '%-24s %12s %9s %10s  %s\n' target executions seconds exec/s result
failed=0
for target in "${targets[@]}"; do
  binary=$build/bin/$target
  seeds=$source_dir/corpus/$target
  if [[ ! -x $binary || ! -d $seeds ]]; then
    echo "$target: no program $binary or no seeds $seeds" >&2
    failed=1
    continue
  fi
  work=$build/fuzz-corpus/$target
  log=$build/fuzz-logs/$target.log
  mkdir -p "$work"
  options=(-max_total_time="$seconds" -max_len=4096 -timeout=25 -rss_limit_mb=2560
           -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$target-")
  if [[ -n ${FUZZ_RUNS:-} ]]; then
    options+=(-runs="$FUZZ_RUNS")
  fi
  # shellcheck disable=SC2206  # FUZZ_ARGS is a list of options
  options+=(${FUZZ_ARGS:-})

  start=$(date +%s.%N)
  status=0
  "$binary" "${options[@]}" "$work" "$seeds" >"$log" 2>&1 || status=$?
  elapsed=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  runs=${runs:-0}
  rate=$(awk -v n="$runs" -v t="$elapsed" 'BEGIN { printf "%d", (t > 0 ? n / t : 0) }')
  if ((status == 0)); then
    result="no finding"
  else
    result="FINDING (exit $status), see $log"
    failed=1
  fi
  printf '%-24s %12s %9.1f %10s  %s\n' "$target" "$runs" "$elapsed" "$rate" "$result"
  if ((status != 0)); then
    grep -E '^\*\*\* |^SUMMARY|ERROR: ' "$log" | head -5 | sed 's/^/    /'
  fi
done
exit "$failed"
