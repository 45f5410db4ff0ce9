#!/usr/bin/env bash
# Sets up what is missing, checks that the folders include each other one way only, builds
# everything, starts a redis-server of its own for the shared store's tests, and a primary, its
# replica and a sentinel for the failover's (free loopback ports, no persistence;
# scripts/redis-session.sh), and runs every test suite: the Windows suites under Wine (the i686 tree with wine
# where this machine runs 32-bit x86 programs, the x86-64 tree with wine64 everywhere; see
# scripts/windows-arch.sh), then the native sanitizer and fuzzing suites, and closes with one
# line counting them all, the Windows tests not run as skipped. Arguments go to the Wine runs'
# ctest (e.g. -R Settings) and skip the native suites.
# TOLLGATE_BUILD_DIR moves the build tree (parallel work trees); TOLLGATE_WINDOWS_ARCH=i686 or
# x86_64 runs that one Windows tree only.
# A failing suite does not stop the run: the others still run and the closing line still
# counts them all, then the script exits 1. A Windows tree that does not build stops it at
# once; a native one is reported by scripts/test-native.sh and fails the run at the end.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TOLLGATE_BUILD_DIR:-$repo/build}"
mkdir -p "$build"

"$repo/scripts/setup.sh"
python3 "$repo/scripts/check-layers.py" "$repo"

. "$repo/scripts/windows-arch.sh"
windows_arch_choose
if [ -n "${TOLLGATE_WINDOWS_ARCH:-}" ]; then
  arches=("$windows_arch")
  [ "$windows_arch" = i686 ] && not_run=x86_64 || not_run=i686
  echo "test: the ${not_run/_/-} suites are not run: $windows_arch_why"
elif [ "$windows_arch" = i686 ]; then
  arches=(i686 x86_64)
  not_run=
else
  arches=(x86_64)
  not_run=i686
  echo "test: the i686 suites are not run: $windows_arch_why; the x86-64 suites run under wine64"
fi
# The shipped DLL is the i686 one: its tree is built even where its suites cannot run.
[ "$not_run" = i686 ] && "$repo/scripts/build.sh" "$build/windows" i686

. "$repo/scripts/wine-session.sh"
. "$repo/scripts/redis-session.sh"
trap redis_session_stop EXIT
redis_session_start "$build/redis" sentinel
logs=()
status=0
# The trees after the first build while the first tree's suites run (those mostly wait on
# sockets and timers), in the background, into a log of their own; each is waited for before it
# is used, so that no two builds ever share a tree. Shown once they are done.
prebuild=
prebuild_log="$build/prebuild.log"
prebuild_wait() {
  [ -n "$prebuild" ] || return 0
  wait "$prebuild" || echo "test: the background build failed; each tree is built again below"
  cat "$prebuild_log"
  prebuild=
}
prebuild_start() {
  local later=("${arches[@]:1}") native=$1
  [ ${#later[@]} -gt 0 ] || [ "$native" = yes ] || return 0
  # A session of its own, so that a stopped run stops the whole build with it (prebuild_stop).
  setsid -w bash -c '
    repo=$1 build=$2 native=$3
    shift 3
    . "$repo/scripts/windows-arch.sh"
    for arch in "$@"; do
      "$repo/scripts/build.sh" "$build/$(windows_tree "$arch")" "$arch" || exit 1
    done
    if [ "$native" = yes ]; then exec "$repo/scripts/test-native.sh" "$build" --build-only; fi
  ' prebuild "$repo" "$build" "$native" "${later[@]}" >"$prebuild_log" 2>&1 &
  prebuild=$!
}
prebuild_stop() { [ -z "$prebuild" ] || kill -- "-$prebuild" 2>/dev/null || true; }
# Two slots beyond the cores: the repeat-offender and list-reload scenarios, started first for
# their cost, spend their minutes asleep, and would otherwise leave the other suites one core.
ctest_jobs=$(( $(nproc) + 2 ))
native=no
if [ -x "$repo/scripts/test-native.sh" ] && [ $# -eq 0 ]; then native=yes; fi
for arch in "${arches[@]}"; do
  tree="$build/$(windows_tree "$arch")"
  prebuild_wait
  "$repo/scripts/build.sh" "$tree" "$arch"
  if [ "$arch" = "${arches[0]}" ]; then prebuild_start "$native"; fi
  trap 'wine_session_leave; redis_session_stop; prebuild_stop' EXIT
  wine_session_join "$tree" "$arch"
  ctest --test-dir "$tree" --output-on-failure -j"$ctest_jobs" "$@" 2>&1 \
    | tee "$tree-tests.log" || status=1
  wine_session_leave
  trap 'redis_session_stop; prebuild_stop' EXIT
  logs+=("$tree-tests.log")
done
redis_session_stop
prebuild_wait
trap - EXIT

if [ "$native" = yes ]; then
  "$repo/scripts/test-native.sh" "$build" || status=1
  # A native tree that did not build leaves no log (its failure is counted above).
  for log in "$build"/native-{asan,tsan,fuzz}.log; do
    if [ -f "$log" ]; then logs+=("$log"); fi
  done
fi

# Every suite's own closing line reads "NN% tests passed, F tests failed out of T". Both
# Windows trees register the same tests, so the tree not run skips as many as the other ran.
closing='^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$'
skipped=0
if [ -n "$not_run" ]; then
  skipped=$(sed -nE "s/$closing/\\2/p" "${logs[0]}")
fi
sed -nE "s/$closing/\\1 \\2/p" "${logs[@]}" \
  | awk -v skipped="$skipped" '{ failed += $1; total += $2 } END {
      printf "total: %d passed, %d failed", total - failed, failed
      if (skipped > 0) printf ", %d skipped", skipped
      printf "\n" }'
exit "$status"
