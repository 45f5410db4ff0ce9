#!/usr/bin/env bash
# Runs a Windows program under Wine in the test session's prefix and display (CTest's
# cross-compiling emulator). The session is set up by scripts/wine-session.sh, which also
# says which Wine runs the tree (WINEARCH, TOLLGATE_WINE: wine for i686, wine64 for x86-64).
# A GoogleTest case (--gtest_filter=...) passes only when the program says so itself: a process
# that dies under Wine after a failure may still leave with status 0, so its output must hold
# GoogleTest's closing "[  PASSED  ]" line. The output goes through a file, never a pipe: a Wine
# process the test starts (the desktop's explorer.exe) may keep what it inherits open.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${TOLLGATE_BUILD:=$here/../build}"
export WINEPREFIX="${WINEPREFIX:-$TOLLGATE_BUILD/wineprefix}"
export WINEARCH="${WINEARCH:-win32}" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
[ -n "${DISPLAY:-}" ] || { [ -f "$WINEPREFIX/.display" ] && export DISPLAY=$(cat "$WINEPREFIX/.display"); }
case " $* " in
  *" --gtest_filter="*) ;;
  *) exec "${TOLLGATE_WINE:-wine}" "$@" ;;
esac
out=$(mktemp)
"${TOLLGATE_WINE:-wine}" "$@" >"$out" 2>&1
status=$?
cat "$out"
if [ "$status" -eq 0 ] && ! grep -q '^\[  PASSED  \]' "$out"; then
  echo "wine-exec: the test ended with status 0 but without GoogleTest's closing PASSED line"
  status=1
fi
rm -f "$out"
exit "$status"
