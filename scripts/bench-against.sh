#!/usr/bin/env bash
# The native benchmarks of this checkout against those of another revision, in one session, as
# ratios: builds REV's native benchmark program in a scratch tree from `git archive` (nothing of
# it lands in the checkout), then runs REV's program and this checkout's in turn, ROUNDS times
# each, back to back, so that the machine's load weighs on both alike, and prints each case's
# median CPU time on both sides (a shared machine's waits for a core stay out of it) and the
# median of the rounds' ratios (this checkout / REV). Cases are matched by name.
# Usage: scripts/bench-against.sh REV [FILTER [ROUNDS [BUILD_ROOT]]]
#   (default FILTER 'check_connect/.*threads:1', ROUNDS 21, BUILD_ROOT build; trees
#   BUILD_ROOT/native-bench and BUILD_ROOT/bench-against)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rev="${1:?usage: scripts/bench-against.sh REV [FILTER [ROUNDS [BUILD_ROOT]]]}"
filter="${2:-check_connect/.*threads:1}"
rounds="${3:-21}"
root="${4:-$repo/build}"
scratch="$root/bench-against"
"$repo/scripts/setup.sh"

# bench_tree SOURCE TREE: configures (once) and builds the optimised benchmark tree of SOURCE.
bench_tree() {
  if [ ! -f "$2/build.ninja" ]; then
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOLLGATE_NATIVE_MODE=bench >/dev/null
  fi
  cmake --build "$2" -j"$(nproc)"
}

rm -rf "$scratch"
mkdir -p "$scratch/src" "$scratch/runs"
git -C "$repo" archive "$rev" | tar -x -C "$scratch/src"
bench_tree "$scratch/src" "$scratch/tree"
bench_tree "$repo" "$root/native-bench"

echo "== $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
for round in $(seq "$rounds"); do
  for side in before now; do
    program="$root/native-bench/bin/tollgate_bench"
    [ "$side" = before ] && program="$scratch/tree/bin/tollgate_bench"
    "$program" --benchmark_filter="$filter" --benchmark_min_time=0.05 \
      --benchmark_out="$scratch/runs/$side-$round.json" --benchmark_out_format=json \
      >/dev/null 2>"$scratch/runs/$side-$round.txt"
  done
done

python3 - "$scratch/runs" "$rev" <<'PY'
import glob, json, os, statistics, sys
runs, rev = sys.argv[1], sys.argv[2]
def load(side):
    rounds = {}
    for path in glob.glob(f"{runs}/{side}-*.json"):
        number = os.path.basename(path)[len(side) + 1:-5]
        rounds[number] = {c["name"]: c["cpu_time"] for c in json.load(open(path))["benchmarks"]}
    return rounds
before, now = load("before"), load("now")
names = [n for n in next(iter(now.values())) if n in next(iter(before.values()))]
print(f"\nCPU ns per call, median of {len(now)} rounds each; ratio = this checkout / {rev}, the "
      f"median of the rounds' own ratios (each round runs both programs back to back)")
worst = 0
for name in names:
    pairs = [(before[r][name], now[r][name]) for r in now if r in before]
    ratio = statistics.median(b and n / b for b, n in pairs)
    worst = max(worst, ratio)
    print(f"  {name:66s} {statistics.median(b for b, _ in pairs):7.1f} "
          f"{statistics.median(n for _, n in pairs):7.1f}  {ratio:5.2f}")
print(f"  worst ratio {worst:.2f}")
PY
