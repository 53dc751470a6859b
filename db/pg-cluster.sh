#!/usr/bin/env bash
# Starts and stops a private PostgreSQL cluster that serves the system database
# over psqlODBC, for tests and trials against a database server.
#
#   db/pg-cluster.sh start  <state-folder>
#   db/pg-cluster.sh stop   <state-folder>
#   db/pg-cluster.sh halt   <state-folder>
#   db/pg-cluster.sh resume <state-folder>
#
# start  creates a throw-away cluster in a new folder under /tmp, listening only on
#        127.0.0.1 at a free port (never the default 5432), creates the role
#        trxuser (password qalvex4, allowed to create databases) and the database
#        "ntrx" owned by it, loads db/schema.sql and db/demo-data.sql, and writes
#        into <state-folder>:
#          odbc/odbcinst.ini, odbc/odbc.ini  data source NTRXDB on database ntrx and
#                                            NTRXADMIN on the maintenance database
#                                            "postgres" (both as trxuser);
#          port, cluster                     the port and the cluster's folder.
#        A cluster left running by an earlier start of the same state folder is
#        stopped first.
# stop   stops the cluster named in <state-folder> and removes it with its state.
# halt   stops the server as a restart does (fast shutdown: connected clients lose
#        their connections) and keeps cluster and state; resume starts it again on
#        the same port. Tests use them to take the database away under a running
#        process.
#
# PostgreSQL refuses to run as root: as root the server and its tools run as the
# user "postgres". The databases use the encoding SQL_ASCII and the data sources
# set the client encoding SQL_ASCII, so message texts keep the 8-bit bytes of
# national characters exactly as the process writes them (psqlODBC would
# otherwise insist on UTF-8 and reject them).
#
# Use the set-up with ODBCSYSINI=<state-folder>/odbc ODBCINI=<state-folder>/odbc/odbc.ini.
set -euo pipefail

usage() { echo "usage: $0 start|stop|halt|resume <state-folder>" >&2; exit 2; }
[[ $# -eq 2 ]] || usage
action=$1
state=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [[ -z $pg_bin || ! -x $pg_bin/pg_ctl ]]; then
  echo "pg-cluster: no PostgreSQL server found under /usr/lib/postgresql" >&2
  exit 1
fi

driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so
if [[ ! -e $driver ]]; then
  for candidate in /usr/lib/*/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so; do
    if [[ -e $candidate ]]; then driver=$candidate; break; fi
  done
fi

# Runs a command as the owner of the cluster.
as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# The server's options: only 127.0.0.1, the given port, the socket in the
# cluster's folder, and no waiting for the disk.
server_options() {  # port, cluster folder
  echo "-c listen_addresses=127.0.0.1 -p $1 -k $2 -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
}

start_server() {  # cluster folder, port
  (cd "$1" && as_owner "$pg_bin/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 60 -o "$(server_options "$2" "$1")" \
    start >/dev/null)
}

halt_cluster() {
  local cluster
  cluster=$(cat "$state/cluster")
  (cd "$cluster" && as_owner "$pg_bin/pg_ctl" -D "$cluster/data" -m fast -w -t 60 stop >/dev/null)
}

resume_cluster() {
  start_server "$(cat "$state/cluster")" "$(cat "$state/port")"
}

stop_cluster() {
  [[ -f $state/cluster ]] || return 0
  local cluster
  cluster=$(cat "$state/cluster")
  if [[ -d $cluster/data ]]; then
    (cd "$cluster" && as_owner "$pg_bin/pg_ctl" -D "$cluster/data" -m immediate -w stop >/dev/null 2>&1) || true
  fi
  case $cluster in
    /tmp/qhv-pg.*) rm -rf "$cluster" ;;
  esac
  rm -rf "$state/cluster" "$state/port" "$state/odbc"
}

start_cluster() {
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  stop_cluster

  local cluster port started=0
  cluster=$(mktemp -d /tmp/qhv-pg.XXXXXX)
  echo "$cluster" >"$state/cluster"
  chmod 755 "$cluster"
  if [[ $(id -u) -eq 0 ]]; then chown postgres: "$cluster"; fi
  cd "$cluster"

  as_owner "$pg_bin/initdb" -D "$cluster/data" --no-sync -U postgres --encoding=SQL_ASCII --locale=C \
    --auth-local=trust --auth-host=scram-sha-256 >"$cluster/initdb.log" 2>&1 || {
    cat "$cluster/initdb.log" >&2
    return 1
  }

  # A random port in 20000-29999; another program may hold it, so try a few.
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 10000))
    if start_server "$cluster" "$port"; then
      started=1
      break
    fi
  done
  if ((!started)); then
    echo "pg-cluster: the server did not start" >&2
    cat "$cluster/server.log" >&2 || true
    return 1
  fi
  echo "$port" >"$state/port"

  psql_as() {  # user, database, then psql arguments
    local user=$1 db=$2
    shift 2
    as_owner "$pg_bin/psql" -X -q -h "$cluster" -p "$port" -U "$user" -d "$db" -v ON_ERROR_STOP=1 "$@"
  }
  psql_as postgres postgres -c "CREATE ROLE trxuser LOGIN PASSWORD 'qalvex4' CREATEDB"
  psql_as postgres postgres -c "CREATE DATABASE ntrx OWNER trxuser"
  # The files are read here and piped in: the server's user may not see the source tree.
  cat "$here/schema.sql" "$here/demo-data.sql" | psql_as trxuser ntrx --single-transaction -f -

  # pqopt hands libpq its TCP settings: a statement sent over a dropped network
  # fails after tcp_user_timeout milliseconds without an answer (08S01) instead of
  # waiting for the kernel's retransmissions (about 15 minutes), and keepalives
  # find a dead peer of an idle connection. The statement timeout the process
  # sets is enforced by the server and cannot end such a wait.
  local tcp_options="pqopt       = tcp_user_timeout=5000 keepalives_idle=30 keepalives_interval=5 keepalives_count=3"
  mkdir -p "$state/odbc"
  cat >"$state/odbc/odbcinst.ini" <<EOF
[PostgreSQL Unicode]
Description = PostgreSQL ODBC driver (Unicode)
Driver      = $driver
Setup       = $driver
UsageCount  = 1
EOF
  cat >"$state/odbc/odbc.ini" <<EOF
[NTRXDB]
Description = QHVLogger system database on a private PostgreSQL cluster
Driver      = $driver
Servername  = 127.0.0.1
Port        = $port
Database    = ntrx
SSLmode     = disable
ConnSettings = SET client_encoding TO 'SQL_ASCII'
$tcp_options

[NTRXADMIN]
Description = Maintenance database of the same cluster
Driver      = $driver
Servername  = 127.0.0.1
Port        = $port
Database    = postgres
SSLmode     = disable
ConnSettings = SET client_encoding TO 'SQL_ASCII'
EOF
  echo "pg-cluster: PostgreSQL on 127.0.0.1:$port, state in $state"
}

case $action in
  start) start_cluster ;;
  halt | resume)
    state=$(cd "$state" && pwd)
    [[ -f $state/cluster && -f $state/port ]] || { echo "pg-cluster: no cluster in $state" >&2; exit 1; }
    "${action}_cluster"
    ;;
  stop)
    if [[ -d $state ]]; then state=$(cd "$state" && pwd); fi
    stop_cluster
    ;;
  *) usage ;;
esac
