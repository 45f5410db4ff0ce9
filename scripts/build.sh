#!/usr/bin/env bash
# Configures and builds a Windows tree (Tollgate.dll, the stand-in host, the test programs).
# Usage: scripts/build.sh [BUILD_DIR [ARCH]]   (default build/windows, i686; ARCH x86_64 builds
# the same sources with the 64-bit cross compiler, by convention into build/windows64)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${1:-$repo/build/windows}"
arch="${2:-i686}"
"$repo/scripts/setup.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-$arch.cmake" >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
