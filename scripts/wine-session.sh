# Sourced: starts and stops the Wine session that tests and the stand-in host run in.
#   wine_session_start BUILD_DIR [ARCH]
#                                  an Xvfb display, the prefix BUILD_DIR/wineprefix, a
#                                  persistent wineserver; exports the environment for wine.
#                                  ARCH is the tree's: i686 (the default: a win32 prefix, run
#                                  with wine) or x86_64 (a win64 prefix, run with wine64).
#                                  TOLLGATE_WINE is the loader to run the tree's programs with.
#   wine_session_stop              stops this prefix's wineserver and the display it started.
#   wine_session_join BUILD_DIR [ARCH]
#                                  the same, for programs that run side by side (stand-in hosts
#                                  started one after the other from one checkout): joins the
#                                  session another such program runs in the prefix, or starts
#                                  it; each joiner is listed in the prefix's .users folder.
#   wine_session_leave             leaves it; the last one to leave stops it.
# Every Wine and X process here is started with stdin, stdout and stderr away from the caller:
# Wine's service processes inherit open pipes, and a runner whose pipe they hold waits forever.

wine_session_start() {
  wine_session_env "$@"
  mkdir -p "$WINEPREFIX"

  # The display comes first: the prefix's first Wine process fixes its display driver.
  # Another session may take the same free number at the same moment: then try the next one.
  local n=90 i
  while :; do
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    # A joined session's display is in its own session: Ctrl+C at the program that started it
    # must not take it from the others.
    ${WINE_SESSION_DETACH:+setsid} Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp \
      </dev/null >/dev/null 2>&1 &
    WINE_SESSION_XVFB=$!
    for i in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$WINE_SESSION_XVFB" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$WINE_SESSION_XVFB" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ] && break
    n=$((n + 1))
  done
  export DISPLAY=":$n"
  echo "$DISPLAY" > "$WINEPREFIX/.display"

  # A Wine that cannot start says why in the prefix's session log, and the caller is told.
  local log="$WINEPREFIX/.session.log"
  if ! { wineserver -p && "$TOLLGATE_WINE" cmd /c exit; } </dev/null >"$log" 2>&1; then
    echo "wine-session: Wine ($TOLLGATE_WINE, $WINEARCH) does not start in $WINEPREFIX:" \
      "$(tail -1 "$log")" >&2
    return 1
  fi
  if [ ! -f "$WINEPREFIX/.tollgate-configured" ]; then
    # No window manager: unmanaged windows close at once. A crash fails the test, no dialog.
    "$TOLLGATE_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
      </dev/null >/dev/null 2>&1
    "$TOLLGATE_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      </dev/null >/dev/null 2>&1
    touch "$WINEPREFIX/.tollgate-configured"
  fi
}

wine_session_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k </dev/null >/dev/null 2>&1 || true
  if [ -n "${WINE_SESSION_XVFB:-}" ]; then
    kill "$WINE_SESSION_XVFB" 2>/dev/null || true
    wait "$WINE_SESSION_XVFB" 2>/dev/null || true
  fi
  [ -n "${WINEPREFIX:-}" ] && rm -f "$WINEPREFIX/.display"
  WINE_SESSION_XVFB=
}

# The environment wine_session_start exports, for a prefix whose session already runs.
wine_session_env() {
  local build=$1 arch=${2:-i686}
  if [ "$arch" = x86_64 ]; then
    # Debian keeps the 64-bit loader out of PATH; /usr/bin/wine would pick the 32-bit one.
    export WINEARCH=win64 TOLLGATE_WINE="$(command -v wine64 || echo /usr/lib/wine/wine64)"
  else
    export WINEARCH=win32 TOLLGATE_WINE=wine
  fi
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" TOLLGATE_BUILD="$build"
}

# Drops the joiners whose process has ended (a host killed without leaving). Under the lock.
wine_session_prune() {
  local user
  for user in "$WINEPREFIX/.users"/*; do
    [ -e "$user" ] && ! kill -0 "${user##*/}" 2>/dev/null && rm -f "$user"
  done
  return 0
}

wine_session_join() {
  local build=$1 arch=${2:-i686} started=0
  wine_session_env "$build" "$arch"
  mkdir -p "$WINEPREFIX/.users"
  exec {WINE_SESSION_LOCK}>"$WINEPREFIX/.session.lock"
  flock "$WINE_SESSION_LOCK"
  wine_session_prune
  if [ -n "$(ls -A "$WINEPREFIX/.users")" ] && [ -f "$WINEPREFIX/.display" ]; then
    export DISPLAY=$(cat "$WINEPREFIX/.display")
  else
    WINE_SESSION_DETACH=1 wine_session_start "$build" "$arch" || started=1
    [ "$started" -eq 0 ] && echo "$WINE_SESSION_XVFB" > "$WINEPREFIX/.xvfb"
  fi
  [ "$started" -eq 0 ] && touch "$WINEPREFIX/.users/$$"
  flock -u "$WINE_SESSION_LOCK"
  return "$started"
}

wine_session_leave() {
  [ -n "${WINE_SESSION_LOCK:-}" ] || return 0
  flock "$WINE_SESSION_LOCK"
  rm -f "$WINEPREFIX/.users/$$"
  wine_session_prune
  if [ -z "$(ls -A "$WINEPREFIX/.users")" ]; then
    WINE_SESSION_XVFB=$(cat "$WINEPREFIX/.xvfb" 2>/dev/null || true)
    wine_session_stop
    rm -f "$WINEPREFIX/.xvfb"
  fi
  flock -u "$WINE_SESSION_LOCK"
}
