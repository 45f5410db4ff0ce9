#!/usr/bin/env bash
# The main job: sets up what is missing, builds, and starts the stand-in mail host with
# Tollgate.dll loaded, under Wine, listening on 127.0.0.1:1110 (POP3), in build/run. A default
# Tollgate.ini is put there when none exists. Stop it with Ctrl+C or by typing quit.
# The i686 host and DLL run where this machine runs 32-bit x86 programs, else the x86-64 pair
# under wine64 (scripts/windows-arch.sh; TOLLGATE_WINDOWS_ARCH=i686 or x86_64 forces one).
# Extra arguments go to the host (e.g. --quiet, --port 1111, --users FILE); through make:
# make run ARGS="--port 1111".
# A second host may run beside the first (another --port): it joins the first one's Wine session
# and works in its own folder, build/run-PORT (TOLLGATE_RUN_DIR names another).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TOLLGATE_BUILD_DIR:-$repo/build}"
run="$build/run"
previous=
for arg in "$@"; do
  [ "$previous" = --port ] && [ "$arg" != 1110 ] && run="$build/run-$arg"
  previous=$arg
done
run="${TOLLGATE_RUN_DIR:-$run}"

# A path as the user reads it: relative to the checkout when inside it.
shown() { case $1 in "$repo"/*) echo "${1#"$repo"/}" ;; *) echo "$1" ;; esac; }

"$repo/scripts/setup.sh"
. "$repo/scripts/run-banner.sh"
. "$repo/scripts/windows-arch.sh"
windows_arch_choose
tree="$build/$(windows_tree "$windows_arch")"
[ "$windows_arch" = i686 ] && loader=wine || loader=wine64
echo "run: the ${windows_arch/_/-} host and DLL under $loader: $windows_arch_why"
"$repo/scripts/build.sh" "$tree" "$windows_arch"

mkdir -p "$run"
if [ ! -f "$run/Tollgate.ini" ]; then
  cp "$repo/mailhost/Tollgate.ini.sample" "$run/Tollgate.ini"
  echo "run: wrote a default $(shown "$run/Tollgate.ini")"
fi

. "$repo/scripts/wine-session.sh"
trap wine_session_leave EXIT
wine_session_join "$tree" "$windows_arch"
echo "run: POP3 on $(run_banner_facts "$(shown "$run/mailhost.log")" "$@")"
echo "run: type stat for the statistics, quit (or Ctrl+C) to stop"
cd "$run"
set +e
"$repo/scripts/wine-exec.sh" "$tree/bin/mailhost.exe" "$@"
status=$?
set -e
exit "$status"
