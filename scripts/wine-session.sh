# Sourced: the Wine session that tests, benchmarks and the stand-in host run in. Every program
# of one checkout's tree (make test, make run, make bench, a second host beside the first) joins
# the one session of that tree's prefix; the first starts it, the last to leave stops it.
#   wine_session_join BUILD_DIR [ARCH]
#                                  joins the session of the prefix BUILD_DIR/wineprefix, or
#                                  starts it (an Xvfb display, the prefix, a persistent
#                                  wineserver); exports the environment for wine and lists the
#                                  caller in the prefix's .users folder. ARCH is the tree's:
#                                  i686 (the default: a win32 prefix, run with wine) or x86_64
#                                  (a win64 prefix, run with wine64). TOLLGATE_WINE is the loader
#                                  to run the tree's programs with.
#   wine_session_leave             leaves it; the last one to leave stops it.
# A run killed at any moment never blocks the next one: the session's lock is held only while
# a session is joined, started, left or stopped, and no process started meanwhile inherits it
# (so dying releases it); a session found with no live program left in it is cleared (its Xvfb
# and wineserver stopped) before a new one starts. The lock is waited for at most
# TOLLGATE_WINE_SESSION_WAIT seconds (default 300); past 10 s the wait names the processes that
# hold the lock's file, and past the limit the join fails naming them.
# Every Wine and X process here is started with stdin, stdout and stderr away from the caller:
# Wine's service processes inherit open pipes, and a runner whose pipe they hold waits forever.

# Starts the session: the caller holds the lock, and no live program is in the session.
wine_session_start() {
  wine_session_env "$@"
  mkdir -p "$WINEPREFIX"
  # What a session whose programs were all killed left behind.
  wine_session_stop

  # The display comes first: the prefix's first Wine process fixes its display driver.
  # Another session may take the same free number at the same moment: then try the next one.
  local n=90 i xvfb
  while :; do
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    # The display is in a session of its own: Ctrl+C at the program that started it must not
    # take it from the others. Recorded at once, so that a start killed here leaves none behind.
    setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    xvfb=$!
    echo "$xvfb" > "$WINEPREFIX/.xvfb"
    for i in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$xvfb" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$xvfb" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ] && break
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

# Stops the session: its wineserver (and with it every Wine process of the prefix) and its
# display. The caller holds the lock.
wine_session_stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  local xvfb
  xvfb=$(cat "$WINEPREFIX/.xvfb" 2>/dev/null || true)
  # Only an Xvfb: the number may have passed to another process since.
  if [ -n "$xvfb" ] && [ "$(cat "/proc/$xvfb/comm" 2>/dev/null)" = Xvfb ]; then
    kill "$xvfb" 2>/dev/null || true
  fi
  rm -f "$WINEPREFIX/.display" "$WINEPREFIX/.xvfb"
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

# Lists the processes that hold FILE open: "PID (command line)", or says that none can be seen
# (another user's processes are not shown).
wine_session_holders() {
  local file pid command holders=
  file=$(readlink -f "$1")
  for pid in $(find /proc/[0-9]*/fd -maxdepth 1 -lname "$file" 2>/dev/null | cut -d/ -f3 | sort -un); do
    command=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || continue
    holders+="${holders:+, }$pid (${command% })"
  done
  echo "${holders:-no process this user can see}"
}

# Takes the session's lock, waiting at most TOLLGATE_WINE_SESSION_WAIT seconds; returns 1 with a
# message naming the lock's holders when the wait runs out. This shell's own descriptor is
# closed while the holders are listed, so that they are the others.
wine_session_lock() {
  local lock=$WINEPREFIX/.session.lock limit=${TOLLGATE_WINE_SESSION_WAIT:-300} first
  first=$((limit < 10 ? limit : 10))
  exec {WINE_SESSION_LOCK}>"$lock"
  flock -w "$first" "$WINE_SESSION_LOCK" && return 0
  wine_session_unlock
  echo "wine-session: waiting for the session's lock $lock, held by: $(wine_session_holders "$lock")" >&2
  exec {WINE_SESSION_LOCK}>"$lock"
  flock -w $((limit - first)) "$WINE_SESSION_LOCK" && return 0
  wine_session_unlock
  echo "wine-session: gave up after $limit s waiting for the session's lock $lock, held by:" \
    "$(wine_session_holders "$lock"); end that process to go on" >&2
  return 1
}

# Releases the lock: its descriptor is closed, so no program started later holds it.
wine_session_unlock() {
  exec {WINE_SESSION_LOCK}>&-
  WINE_SESSION_LOCK=
}

# The session is started and stopped with the lock's descriptor closed for every program they
# start (bash keeps its own copy close-on-exec for the call, so the lock stays held): an Xvfb,
# wineserver or Wine service that outlives a killed caller must not hold the lock for ever.
wine_session_join() {
  local build=$1 arch=${2:-i686} status=0
  wine_session_env "$build" "$arch"
  mkdir -p "$WINEPREFIX/.users"
  wine_session_lock || return 1
  wine_session_prune
  if [ -n "$(ls -A "$WINEPREFIX/.users")" ] && [ -f "$WINEPREFIX/.display" ]; then
    export DISPLAY=$(cat "$WINEPREFIX/.display")
  else
    # A start that fails stops what it started.
    wine_session_start "$build" "$arch" {WINE_SESSION_LOCK}>&- \
      || { status=1; wine_session_stop {WINE_SESSION_LOCK}>&-; }
  fi
  [ "$status" -eq 0 ] && touch "$WINEPREFIX/.users/$$" && WINE_SESSION_JOINED=1
  wine_session_unlock
  return "$status"
}

# Leaves the session this shell joined (nothing when it joined none); the last to leave stops it.
wine_session_leave() {
  [ -n "${WINE_SESSION_JOINED:-}" ] || return 0
  WINE_SESSION_JOINED=
  rm -f "$WINEPREFIX/.users/$$"
  wine_session_lock || return 1
  wine_session_prune
  [ -z "$(ls -A "$WINEPREFIX/.users")" ] && wine_session_stop {WINE_SESSION_LOCK}>&-
  wine_session_unlock
}
