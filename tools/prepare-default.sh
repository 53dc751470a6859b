#!/usr/bin/env bash
# Prepares the embedded default set-up of QHVLogger in a folder, as `make run`
# and the benchmarks use it (nothing under /etc is touched):
#   FOLDER/drive     stands for the drive letters (QHV_DRIVE_ROOT); C:\ is FOLDER/drive/c
#   FOLDER/odbc      odbc.ini / odbcinst.ini with the data source NTRXDB (SQLite)
#   FOLDER/drive/c/ProgramData/Valdrena Marine/ntrx
#                    ntrx.db (system and token database), the token file
#                    TRXTokens.json (made at the first lookup), the log4cplus property file
#   FOLDER/log       the process log QHVLogger.log and the trace trace.log
#   FOLDER/env.sh    the environment to source before starting QHVLogger
#
#   tools/prepare-default.sh FOLDER
# The database is made once; QHV_DEMO_FRESH=1 makes it (and the token file) anew.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 FOLDER" >&2
  exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$1/log"
var=$(cd "$1" && pwd)
drive=$var/drive
config="$drive/c/ProgramData/Valdrena Marine/ntrx"

if [[ ${QHV_DEMO_FRESH:-0} == 1 || ! -e $config/ntrx.db ]]; then
  "$here/db/make-demo-db.sh" --replace "$drive" "$var/odbc" >/dev/null
  rm -f "$config/TRXTokens.json"
fi

cat >"$config/log4cplus_configureQHV.ini" <<INI
log4cplus.logger.QHVLOGGER=DEBUG, process
log4cplus.additivity.QHVLOGGER=false
log4cplus.logger.LogTrace=DEBUG, trace
log4cplus.additivity.LogTrace=false

log4cplus.appender.process=log4cplus::RollingFileAppender
log4cplus.appender.process.File=$var/log/QHVLogger.log
log4cplus.appender.process.MaxFileSize=10MB
log4cplus.appender.process.MaxBackupIndex=5
log4cplus.appender.process.layout=log4cplus::PatternLayout
log4cplus.appender.process.layout.ConversionPattern=%D{%Y-%m-%d %H:%M:%S.%q} %-5p %m%n

log4cplus.appender.trace=log4cplus::RollingFileAppender
log4cplus.appender.trace.File=$var/log/trace.log
log4cplus.appender.trace.MaxFileSize=50MB
log4cplus.appender.trace.MaxBackupIndex=5
log4cplus.appender.trace.layout=log4cplus::PatternLayout
log4cplus.appender.trace.layout.ConversionPattern=%D{%H:%M:%S.%q} %m%n
INI

cat >"$var/env.sh" <<ENV
export QHV_DRIVE_ROOT='$drive'
export ODBCSYSINI='$var/odbc'
export ODBCINI='$var/odbc/odbc.ini'
export ProgramData='C:\\ProgramData'
export QT_LOGGING_RULES='*.debug=false'  # the token store's lookups stay out of the console
ENV
