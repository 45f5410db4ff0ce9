#!/usr/bin/env bash
# make run hands ARGS to the host, and scripts/run.sh names the address, port, users and log
# that the host's arguments put in force.
set -u
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$repo/scripts/run-banner.sh"
failures=0

ran=$(make -s -n -C "$repo" run ARGS="--port 1111 --quiet")
[ "$ran" = "scripts/run.sh --port 1111 --quiet" ] \
  || { echo "FAIL make run ARGS: runs '$ran'"; failures=$((failures + 1)); }

# what the banner says | the host's arguments, one per ;
while IFS='|' read -r want args; do
  [ -z "$want" ] && continue
  IFS=';' read -r -a argv <<< "$args"
  got=$(run_banner_facts the.log "${argv[@]}")
  [ "$got" = "$want" ] || { echo "FAIL '$args': '$got', want '$want'"; failures=$((failures + 1)); }
done <<'CASES'
127.0.0.1:1111, users alice/wonderland and bob/builder; log in the.log|--quiet;--port;1111
127.0.0.1:1112, users from u.txt; no log file|--port;1;--users;u.txt;--log;;--port;1112
0.0.0.0:1110, users from x; log in x.log|--bind;0.0.0.0;--configure;--users;x;--log;x.log
CASES
[ "$failures" -eq 0 ] && echo "all arguments as expected"
exit $((failures > 0))
