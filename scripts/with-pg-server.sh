#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL 15 server: scripts/with-pg-server.sh CMD [ARGS...]
# The server's settings reach CMD through libpq's environment (PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE),
# and VDPATTERN_TEST_PG names it for the test suite. As root, pg_virtualenv makes the cluster; otherwise (or
# without pg_virtualenv) initdb and pg_ctl make one in a temporary folder, reached on a Unix socket there.
set -euo pipefail
if (($# == 0)); then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi
export VDPATTERN_TEST_PG="postgresql:///"
if [[ $(id -u) == 0 ]] && command -v pg_virtualenv >/dev/null; then
  exec pg_virtualenv -v 15 "$@"
fi

bin=/usr/lib/postgresql/15/bin
[[ -x $bin/initdb ]] || bin=$(dirname "$(command -v initdb)")
dir=$(mktemp -d)
stop() {
  "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
"$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C.UTF-8 >/dev/null
"$bin/pg_ctl" -D "$dir/data" -w -l "$dir/log" -o "-k $dir -c listen_addresses=''" start >/dev/null
export PGHOST=$dir PGPORT=5432 PGUSER=postgres PGDATABASE=postgres
unset PGPASSWORD
"$@"
