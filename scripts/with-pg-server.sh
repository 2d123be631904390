#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL 15 server: scripts/with-pg-server.sh CMD [ARGS...]
# The server's settings reach CMD through libpq's environment (PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE),
# and VDPATTERN_TEST_PG names it for the test suite. As root, pg_virtualenv makes the cluster; otherwise (without
# pg_virtualenv, not root, or its cluster in use) initdb and pg_ctl make one in a temporary folder, reached on a
# Unix socket there.
set -euo pipefail
if (($# == 0)); then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi
export VDPATTERN_TEST_PG="postgresql:///"
# pg_virtualenv, as root, makes the one cluster "regress": while another run holds it, this run makes its own.
if [[ $(id -u) == 0 ]] && command -v pg_virtualenv >/dev/null && [[ ! -d /etc/postgresql/15/regress ]]; then
  exec pg_virtualenv -v 15 "$@"
fi

bin=/usr/lib/postgresql/15/bin
[[ -x $bin/initdb ]] || bin=$(dirname "$(command -v initdb)")
dir=$(mktemp -d)
# The server refuses to run as root: there it runs as the user postgres.
as_server=()
if [[ $(id -u) == 0 ]]; then
  as_server=(runuser -u postgres --)
  chown postgres "$dir"
  chmod 755 "$dir"
fi
stop() {
  "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
"${as_server[@]}" "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C.UTF-8 >/dev/null
"${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -w -l "$dir/log" -o "-k $dir -c listen_addresses=''" start >/dev/null
export PGHOST=$dir PGPORT=5432 PGUSER=postgres PGDATABASE=postgres
unset PGPASSWORD
"$@"
