#!/usr/bin/env bash
# Runs build/bin/QHVLogger against the demo system database, in a private
# environment under build/demo (nothing under /etc or /var is touched):
#   build/demo/drive        stands for the drive letters (QHV_DRIVE_ROOT)
#   build/demo/odbc         odbc.ini / odbcinst.ini with the data source NTRXDB
#   build/demo/programdata  ProgramData: log4cplus property file and token file
#   build/demo/logs         the process log and trace log
#
#   tools/run-demo.sh [build-folder] [-- QHVLogger options]   (default: -debug 31)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
shift || true
[[ ${1:-} == -- ]] && shift
args=("$@")
((${#args[@]})) || args=(-debug 31)

demo=$build/demo
drive=$demo/drive
config="$demo/programdata/Valdrena Marine/ntrx"
mkdir -p "$drive" "$config" "$demo/logs"

"$here/db/make-demo-db.sh" "$drive" "$demo/odbc" >/dev/null

cat > "$config/log4cplus_configureQHV.ini" <<INI
log4cplus.logger.QHVLOGGER=INFO, process
log4cplus.additivity.QHVLOGGER=false
log4cplus.logger.LogTrace=DEBUG, trace
log4cplus.additivity.LogTrace=false

log4cplus.appender.process=log4cplus::RollingFileAppender
log4cplus.appender.process.File=$demo/logs/QHVLogger.log
log4cplus.appender.process.MaxFileSize=10MB
log4cplus.appender.process.MaxBackupIndex=5
log4cplus.appender.process.layout=log4cplus::PatternLayout
log4cplus.appender.process.layout.ConversionPattern=%D{%Y-%m-%d %H:%M:%S.%q} %-5p %m%n

log4cplus.appender.trace=log4cplus::RollingFileAppender
log4cplus.appender.trace.File=$demo/logs/trace.log
log4cplus.appender.trace.MaxFileSize=50MB
log4cplus.appender.trace.MaxBackupIndex=5
log4cplus.appender.trace.layout=log4cplus::PatternLayout
log4cplus.appender.trace.layout.ConversionPattern=%D{%H:%M:%S.%q} %m%n
INI

export QHV_DRIVE_ROOT=$drive
export ODBCSYSINI=$demo/odbc
export ODBCINI=$demo/odbc/odbc.ini
export ProgramData=$demo/programdata

echo "Demo environment in $demo; process log and trace in $demo/logs"
cd "$demo"
exec "$build/bin/QHVLogger" "${args[@]}"
