#!/usr/bin/env bash
# Runs a Windows program under Wine in the test session's prefix and display (CTest's
# cross-compiling emulator). The session is set up by scripts/wine-session.sh.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${TOLLGATE_BUILD:=$here/../build}"
export WINEPREFIX="${WINEPREFIX:-$TOLLGATE_BUILD/wineprefix}"
export WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
[ -n "${DISPLAY:-}" ] || { [ -f "$WINEPREFIX/.display" ] && export DISPLAY=$(cat "$WINEPREFIX/.display"); }
exec wine "$@"
