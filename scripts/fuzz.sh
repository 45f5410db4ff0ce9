#!/usr/bin/env bash
# A longer fuzzing session of the native targets (the test run makes only a 5-second one).
# Usage: scripts/fuzz.sh [SECONDS [BUILD_ROOT]]   (default 300 seconds per target, build)
# What the fuzzer finds goes to BUILD_ROOT/native-fuzz/found-TARGET; to keep the inputs that
# reach new code in the committed corpus:
#   BUILD_ROOT/native-fuzz/bin/fuzz_TARGET -merge=1 -use_counters=0 \
#     tests/native/corpus/TARGET BUILD_ROOT/native-fuzz/found-TARGET
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds="${1:-300}"
tree="${2:-$repo/build}/native-fuzz"

"$repo/scripts/setup.sh"
if [ ! -f "$tree/build.ninja" ]; then
  cmake -S "$repo" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOLLGATE_NATIVE_MODE=fuzz >/dev/null
fi
cmake --build "$tree" -j"$(nproc)"
for target in table entry lists; do
  found="$tree/found-$target"
  mkdir -p "$found"
  echo "== fuzz_$target for $seconds s"
  "$tree/bin/fuzz_$target" -max_total_time="$seconds" -max_len=1024 -timeout=10 \
    -print_final_stats=1 "$found" "$repo/tests/native/corpus/$target"
done
