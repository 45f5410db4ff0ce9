#!/usr/bin/env bash
# Sets up what is missing, builds everything, and runs every test suite.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build/windows"

"$repo/scripts/setup.sh"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"

. "$repo/scripts/wine-session.sh"
trap wine_session_stop EXIT
wine_session_start "$build"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
