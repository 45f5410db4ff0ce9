#!/usr/bin/env bash
# Configures and builds the Windows tree (Tollgate.dll, the stand-in host, the test programs).
# Usage: scripts/build.sh [BUILD_DIR]   (default build/windows)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${1:-$repo/build/windows}"
"$repo/scripts/setup.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
