#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL 15 server: scripts/with-pg-server.sh CMD [ARGS...]
# The server's settings reach CMD through libpq's environment (PGHOST, PGPORT, PGUSER, PGDATABASE), and
# VDPATTERN_TEST_PG names it for the test suite. initdb and pg_ctl make the cluster in a temporary folder and
# serve it on a Unix socket there only (no TCP port), so any number of runs can go on side by side; as root the
# server runs as the postgres user, since PostgreSQL refuses to run as root. It never syncs to disk: it is thrown
# away, and crash safety of the server is not what the tests are about.
set -euo pipefail
if (($# == 0)); then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi
bin=/usr/lib/postgresql/15/bin
[[ -x $bin/initdb ]] || bin=$(dirname "$(command -v initdb)")
dir=$(mktemp -d)
as=()
if [[ $(id -u) == 0 ]]; then
  chown postgres: "$dir"
  as=(runuser -u postgres --)
fi
stop() {
  "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
if ! "${as[@]}" "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1; then
  cat "$dir/initdb.log" >&2
  exit 1
fi
if ! "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -w -l "$dir/log" -o "-k $dir -c listen_addresses='' -c fsync=off -c synchronous_commit=off -c full_page_writes=off" start >/dev/null; then
  cat "$dir/log" >&2
  exit 1
fi
export VDPATTERN_TEST_PG="postgresql:///"
export PGHOST=$dir PGPORT=5432 PGUSER=postgres PGDATABASE=postgres
unset PGPASSWORD PGSERVICE
"$@"
