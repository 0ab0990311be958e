#!/usr/bin/env bash
# Runs a command beside a throwaway PostgreSQL cluster, and removes the cluster afterwards
# whatever happens, also when this script is killed.
#   with-postgres.sh COMMAND [ARGS...]
# The command finds the database in QV_TEST_POSTGRES_URL and the server's control in
# QV_TEST_POSTGRES_CTL ("stop" crashes the server, "start" starts it again).
set -euo pipefail
. "$(dirname "$0")/pg-cluster.sh"

dir=$(mktemp -d /tmp/qv-pg.XXXXXX)
cleanup() { qv_pg_stop "$dir"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
qv_pg_start "$dir"
# A watchdog for a SIGKILL (a test time-out), which runs no trap: once this script is gone it
# stops the cluster. Its output goes nowhere, so nobody waits for it.
(
    trap '' HUP
    while kill -0 $$ 2>/dev/null; do sleep 1; done
    qv_pg_stop "$dir"
) </dev/null >/dev/null 2>&1 &
qv_pg_createdb qvtest
export QV_TEST_POSTGRES_URL="$QV_PG_URL/qvtest"
export QV_TEST_POSTGRES_CTL="$dir/pgctl"
"$@"
