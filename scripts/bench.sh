#!/usr/bin/env bash
# The benchmarks (`make bench`; not part of the tests): the table and the white list natively
# under Google Benchmark, then the whole event path through Tollgate.dll under Wine beside the
# unavoidable work of one decision, the reading of a million-line state file, the shared
# store's round trip against a redis-server of its own, the loading of a million-line list file,
# a /24 swarm through the stand-in host counting networks, and a botnet spread over 3,000
# networks through the host with the siege's keys. Prints the figures and whether each target is
# met.
# Usage: scripts/bench.sh [BUILD_ROOT]   (default build; trees BUILD_ROOT/native-bench and
# BUILD_ROOT/windows, or BUILD_ROOT/windows64 where the i686 tree cannot run: see
# scripts/windows-arch.sh)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Absolute: Wine takes its prefix (inside the Windows tree) only as an absolute path, and a
# relative BUILD_ROOT (`scripts/bench.sh build`) stopped the run before the Wine part.
root=$(realpath -m "${1:-$repo/build}")
jobs=$(nproc)
"$repo/scripts/setup.sh"

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(date -u '+%Y-%m-%d %H:%M UTC')"

# Native: an optimised tree with the benchmark program only.
tree="$root/native-bench"
if [ ! -f "$tree/build.ninja" ]; then
  cmake -S "$repo" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOLLGATE_NATIVE_MODE=bench >/dev/null
fi
cmake --build "$tree" -j"$jobs"
"$tree/bin/tollgate_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 --benchmark_out="$tree/results.json" --benchmark_out_format=json
python3 - "$tree/results.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
medians = {r["run_name"]: r["real_time"] for r in runs if r.get("aggregate_name") == "median"}
print("\nNative medians (ns per call; with 2 threads, wall time per call of both together):")
for name, t in medians.items():
    print(f"  {name:55s} {t:8.1f}")
full = [t for n, t in medians.items() if n.startswith("check_connect/full/") and "white" not in n
        and "/lists/" not in n and n.endswith("threads:1")]
worst = max(full)
print(f"  target: db_check_connect at most 100 ns on one thread, table full: "
      f"{'met' if worst <= 100 else 'MISSED'} (worst median {worst:.1f} ns)")
for size, bound in ((65536, 100), (1048576, 200)):
    one = [t for n, t in medians.items() if n.startswith("check_connect/large_full/")
           and f"/{size}/" in n and n.endswith("threads:1")]
    if one:
        print(f"  target: at most {bound} ns on one thread with {size} held: "
              f"{'met' if max(one) <= bound else 'MISSED'} (worst median {max(one):.1f} ns)")
none = medians.get("check_connect/full/new_in_turn/black_none/real_time/threads:1")
black = [t for n, t in medians.items() if n.startswith("check_connect/full/new_in_turn/black_4096")]
if none and black:
    print(f"  target: a decision with 4096 black-list entries at most 20 ns more than with none: "
          f"{'met' if max(black) - none <= 20 else 'MISSED'} (worst +{max(black) - none:.1f} ns)")
for probes in (4096, 65536):
    none = medians.get(f"check_connect/full/new_in_turn/lists/0/0/{probes}/real_time/threads:1")
    for ranges, crowded, bound in ((10000, 0, 20), (1000000, 0, 60), (1000000, 1, 60)):
        listed = medians.get(f"check_connect/full/new_in_turn/lists/{ranges}/{crowded}/{probes}/real_time/threads:1")
        if none and listed:
            print(f"  target: a decision with {ranges} list ranges{' crowded' if crowded else ''} at most "
                  f"{bound} ns more than with none ({probes} probes): "
                  f"{'met' if listed - none <= bound else 'MISSED'} (+{listed - none:.1f} ns)")
for case in ("new", "held", "refused"):
    plain = medians.get(f"check_connect/large_full/{case}/65536/real_time/threads:1")
    for bits in (24, 31):
        nets = medians.get(f"check_connect/large_full_networks/{case}/65536/{bits}/real_time/threads:1")
        if plain and nets:
            print(f"  target: networks (/{bits}) on, 65536 held, {case}: at most 1.5 x without: "
                  f"{'met' if nets <= 1.5 * plain else 'MISSED'} ({nets:.1f} ns against {plain:.1f} ns, "
                  f"{nets / plain:.2f} x)")
unset_keys = medians.get("check_connect/siege/0/real_time/threads:1")
for case, what in ((1, "set, no siege"), (2, "set, under siege"), (3, "set, trusted addresses")):
    keys = medians.get(f"check_connect/siege/{case}/real_time/threads:1")
    if unset_keys and keys:
        print(f"  the siege keys {what}: {keys:.1f} ns against {unset_keys:.1f} ns unset, "
              f"{keys / unset_keys:.2f} x")
for size in (65536, 1048576):
    one = medians.get(f"check_connect/large_full/new/{size}/real_time/threads:1")
    two = medians.get(f"check_connect/large_full/new/{size}/real_time/threads:2")
    if one and two:
        print(f"  target: two threads at least as fast per decision as one, {size} held, new address: "
              f"{'met' if two <= one else 'MISSED'} ({two:.1f} ns against {one:.1f} ns)")
PY

# Windows: Tollgate.dll and its benchmark program, run under Wine in a scratch folder (no
# Tollgate.ini there, so the module runs on its defaults).
. "$repo/scripts/windows-arch.sh"
windows_arch_choose
win="$root/$(windows_tree "$windows_arch")"
echo "== Windows tree: $windows_arch ($windows_arch_why)"
if [ ! -f "$win/build.ninja" ]; then
  cmake -S "$repo" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-$windows_arch.cmake" >/dev/null
fi
cmake --build "$win" -j"$jobs" --target tollgate_dll_bench tollgate_state_bench tollgate_shared_bench \
  tollgate_list_bench mailhost Tollgate
. "$repo/scripts/wine-session.sh"
. "$repo/scripts/redis-session.sh"
scratch=$(mktemp -d)
trap 'wine_session_leave; redis_session_stop; rm -rf "$scratch"' EXIT
wine_session_join "$win" "$windows_arch"
redis_session_start "$scratch/redis"
echo
(cd "$scratch" && "$TOLLGATE_WINE" "$win/bin/tollgate_dll_bench.exe" 200000 7 </dev/null)
echo
(cd "$scratch" && "$TOLLGATE_WINE" "$win/bin/tollgate_state_bench.exe" 1000000 5 </dev/null)
echo
(cd "$scratch" && "$TOLLGATE_WINE" "$win/bin/tollgate_shared_bench.exe" "$TOLLGATE_TEST_REDIS_PORT" \
  20000 </dev/null)
echo
(cd "$scratch" && "$TOLLGATE_WINE" "$win/bin/tollgate_list_bench.exe" 1000000 5 </dev/null)

# through_host DIR GENERAL SPRAY_ARGS...: the stand-in host on a free port in DIR, its
# Tollgate.ini's [General] the CR LF lines GENERAL (and the users of DIR/users.txt, if any),
# and scripts/spray.py against it with SPRAY_ARGS; the spray's report goes to DIR/spray.txt.
through_host() {
  local dir=$1 general=$2 port host users=()
  shift 2
  printf '[General]\r\n%b' "$general" > "$dir/Tollgate.ini"
  [ -f "$dir/users.txt" ] && users=(--users users.txt)
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  (cd "$dir" && exec "$TOLLGATE_WINE" "$win/bin/mailhost.exe" --port "$port" --quiet --stop-file stop --log mailhost.log "${users[@]}" </dev/null >console.txt 2>&1) &
  host=$!
  for _ in $(seq 150); do grep -q "mailhost: POP3 on" "$dir/mailhost.log" 2>/dev/null && break; sleep 0.2; done
  python3 "$repo/scripts/spray.py" --port "$port" "$@" | tee "$dir/spray.txt" || true
  touch "$dir/stop"
  wait "$host" || true
}

# One /24 (254 addresses) trying 4 times each, round-robin, as fast as the host serves them,
# against a host counting /24 networks with an allowance of 20: exactly 20 may be let in.
echo
swarm="$scratch/swarm"
mkdir -p "$swarm"
through_host "$swarm" 'NetworkBits=24\r\nNetworkFailures=20\r\n' --addresses 254 --tries 4 \
  --rate 2000 --workers 32 --network-bits 24 --network-failures 20
if grep -q "admitted 20, " "$swarm/spray.txt" && grep -q "NetworkFailures (20): 0" "$swarm/spray.txt"; then
  echo "  target: the /24 swarm through the host, NetworkBits=24, NetworkFailures=20: met (exactly 20 let in)"
else
  echo "  target: the /24 swarm through the host, NetworkBits=24, NetworkFailures=20: MISSED"
fi

# A botnet spread over 3,000 /24s, 3 tries each at 100 a second, while 50 users log in before
# and during it, against a host with the siege keys: at most 150 guesses let in, no user refused.
echo
botnet="$scratch/botnet"
mkdir -p "$botnet"
for i in $(seq 50); do echo "user$i:password$i"; done > "$botnet/users.txt"
through_host "$botnet" 'MaxAddresses=65536\r\nNetworkBits=24\r\nNetworkFailures=20\r\nTrustDays=30\r\nSiegeFailures=60\r\nSiegeAuthFailures=0\r\n' \
  --spread --addresses 3000 --tries 3 --rate 100 --network-bits 24 --network-failures 20 \
  --users 50 --users-file "$botnet/users.txt"
admitted=$(sed -nE 's/^  admitted ([0-9]+), .*/\1/p' "$botnet/spray.txt")
if [ -n "$admitted" ] && [ "$admitted" -le 150 ] && grep -q "refused by Tollgate 0, turned away or failed 0" <(grep "users' logins" "$botnet/spray.txt"); then
  echo "  target: the spread botnet through the host with the siege keys: met ($admitted of 9000 let in, no user refused)"
else
  echo "  target: the spread botnet through the host with the siege keys: MISSED"
fi
