#!/usr/bin/env bash
# The native checks of the table and the white list (Linux, clang): unit, allocation and stress
# tests under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer, then a
# short fixed-seed run of each libFuzzer target over the committed corpus. Fails on any test
# failure or sanitizer report.
# Usage: scripts/test-native.sh [BUILD_ROOT] [--build-only]   (default build; trees
# BUILD_ROOT/native-*; --build-only builds the three trees and runs nothing)
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root="${1:-$repo/build}"
build_only="${2:-}"
jobs=$(nproc)

"$repo/scripts/setup.sh" || exit 1

# Any sanitizer report ends the program with a failure; leaks count as failures too.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# build_tree MODE: configures (once) and builds BUILD_ROOT/native-MODE.
build_tree() {
  local mode=$1 tree="$root/native-$1"
  if [ ! -f "$tree/build.ninja" ]; then
    cmake -S "$repo" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DTOLLGATE_NATIVE_MODE="$mode" >/dev/null || return 1
  fi
  cmake --build "$tree" -j"$jobs"
}

if [ "$build_only" = --build-only ]; then
  for mode in asan tsan fuzz; do build_tree "$mode" || exit 1; done
  exit 0
fi

summary=()
failed=0
for mode in asan tsan fuzz; do
  echo "== native-$mode"
  log="$root/native-$mode.log"
  mkdir -p "$root"
  rm -f "$log" # a tree that fails to build must not leave an earlier run's count behind
  if ! build_tree "$mode"; then
    summary+=("native-$mode: build failed")
    failed=1
    continue
  fi
  ctest --test-dir "$root/native-$mode" --output-on-failure -j"$jobs" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$log" | tail -1)
  summary+=("native-$mode: ${line:-no tests ran}")
  if [ "$status" -ne 0 ] || [ -z "$line" ]; then failed=1; fi
done

echo
echo "== native checks summary"
for s in "${summary[@]}"; do echo "   $s"; done
if [ "$failed" -ne 0 ]; then
  echo "native checks FAILED"
  exit 1
fi
echo "native checks passed"
