#!/usr/bin/env bash
# The main job: sets up what is missing, builds, and starts the stand-in mail host with
# Tollgate.dll loaded, under Wine, listening on 127.0.0.1:1110 (POP3), in build/run. A default
# Tollgate.ini is put there when none exists. Stop it with Ctrl+C or by typing quit.
# Extra arguments go to the host (e.g. --quiet, --port 1111, --users FILE).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TOLLGATE_BUILD_DIR:-$repo/build}"
run="$build/run"

"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" "$build/windows"

mkdir -p "$run"
if [ ! -f "$run/Tollgate.ini" ]; then
  cp "$repo/mailhost/Tollgate.ini.sample" "$run/Tollgate.ini"
  echo "run: wrote a default $run/Tollgate.ini"
fi

. "$repo/scripts/wine-session.sh"
trap wine_session_stop EXIT
wine_session_start "$build/windows"
echo "run: POP3 on 127.0.0.1:1110, users alice/wonderland and bob/builder; log in $run/mailhost.log"
echo "run: type stat for the statistics, quit (or Ctrl+C) to stop"
cd "$run"
set +e
"$repo/scripts/wine-exec.sh" "$build/windows/bin/mailhost.exe" "$@"
status=$?
set -e
exit "$status"
