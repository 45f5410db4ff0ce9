#!/usr/bin/env bash
# Runs a Windows program under Wine in the test session's prefix and display (CTest's
# cross-compiling emulator). The session is set up by scripts/wine-session.sh, which also
# says which Wine runs the tree (WINEARCH, TOLLGATE_WINE: wine for i686, wine64 for x86-64).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${TOLLGATE_BUILD:=$here/../build}"
export WINEPREFIX="${WINEPREFIX:-$TOLLGATE_BUILD/wineprefix}"
export WINEARCH="${WINEARCH:-win32}" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
[ -n "${DISPLAY:-}" ] || { [ -f "$WINEPREFIX/.display" ] && export DISPLAY=$(cat "$WINEPREFIX/.display"); }
exec "${TOLLGATE_WINE:-wine}" "$@"
