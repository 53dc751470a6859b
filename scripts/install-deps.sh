#!/usr/bin/env bash
# Installs the Debian packages that building and testing QHVLogger needs, and
# any further packages named as arguments (the benchmarks name theirs).
# Idempotent: runs apt-get only when a package is missing, never prompts.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-system-dev
  libace-dev
  liblog4cplus-dev
  qtbase5-dev libqt5sql5-sqlite
  sqlite3 libsqlite3-dev
  unixodbc unixodbc-dev odbcinst
  libsqliteodbc odbc-postgresql
  postgresql
  libgtest-dev
  libsystemd-dev         # sd_notify: readiness and watchdog under systemd
  systemd                # systemd-analyze, which checks the service unit in the tests
  clang libclang-rt-dev  # make fuzz: clang with libFuzzer and the sanitizer run-times
  gnuplot-nox            # qhvdump --plot draws its pictures with gnuplot
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
