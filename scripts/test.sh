#!/usr/bin/env bash
# Sets up what is missing, builds everything, and runs every test suite: the Windows suites
# under Wine, then the native sanitizer and fuzzing suites. Arguments go to the Wine run's ctest
# (e.g. -R Settings). TOLLGATE_BUILD_DIR moves the build tree (parallel work trees).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TOLLGATE_BUILD_DIR:-$repo/build}"

"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" "$build/windows"

. "$repo/scripts/wine-session.sh"
trap wine_session_stop EXIT
wine_session_start "$build/windows"
ctest --test-dir "$build/windows" --output-on-failure -j"$(nproc)" "$@"
wine_session_stop
trap - EXIT

if [ -x "$repo/scripts/test-native.sh" ] && [ $# -eq 0 ]; then
  "$repo/scripts/test-native.sh" "$build"
fi
