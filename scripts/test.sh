#!/usr/bin/env bash
# Sets up what is missing, checks that the folders include each other one way only, builds
# everything, and runs every test suite: the Windows suites under Wine, then the native
# sanitizer and fuzzing suites, and closes with one line counting them all. Arguments go to the
# Wine run's ctest (e.g. -R Settings) and skip the native suites.
# TOLLGATE_BUILD_DIR moves the build tree (parallel work trees).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TOLLGATE_BUILD_DIR:-$repo/build}"
mkdir -p "$build"

"$repo/scripts/setup.sh"
python3 "$repo/scripts/check-layers.py" "$repo"
"$repo/scripts/build.sh" "$build/windows"

. "$repo/scripts/wine-session.sh"
trap wine_session_stop EXIT
wine_session_start "$build/windows"
ctest --test-dir "$build/windows" --output-on-failure -j"$(nproc)" "$@" 2>&1 \
  | tee "$build/windows-tests.log"
wine_session_stop
trap - EXIT

logs=("$build/windows-tests.log")
if [ -x "$repo/scripts/test-native.sh" ] && [ $# -eq 0 ]; then
  "$repo/scripts/test-native.sh" "$build"
  logs+=("$build"/native-{asan,tsan,fuzz}.log)
fi

# Every suite's own closing line reads "NN% tests passed, F tests failed out of T".
sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$/\1 \2/p' "${logs[@]}" \
  | awk '{ failed += $1; total += $2 } END { printf "total: %d passed, %d failed\n", total - failed, failed }'
