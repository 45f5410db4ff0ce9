#!/usr/bin/env bash
# Regenerates docs/config-dialog.png: builds the Windows tree, opens the configuration dialog
# (with a few held addresses, two of them selected and the list's context menu open) in the
# tree's Wine session on Xvfb, and photographs it.
# Usage: scripts/screenshot.sh   (TOLLGATE_BUILD_DIR moves the build tree, as for test.sh)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TOLLGATE_BUILD_DIR:-$repo/build}"
out="$repo/docs/config-dialog.png"

"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" "$build/windows"

. "$repo/scripts/wine-session.sh"
work=$(mktemp -d)
host_pid=
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  wine_session_leave
  rm -rf "$work"
}
trap cleanup EXIT
wine_session_join "$build/windows"

cd "$work"
wine "$build/windows/bin/ui_screenshot_host.exe" </dev/null >/dev/null 2>&1 &
host_pid=$!
for _ in $(seq 1 300); do [ -s dialog.rect ] && break; sleep 0.2; done
[ -s dialog.rect ] || { echo "screenshot: the dialog did not open" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
import -display "$DISPLAY" -window root -crop "$(cat dialog.rect)" +repage "$out"
touch dialog.done
wait "$host_pid" || true
host_pid=
echo "screenshot: wrote $out"
