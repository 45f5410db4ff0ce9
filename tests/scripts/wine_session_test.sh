#!/usr/bin/env bash
# A run killed at any moment of scripts/wine-session.sh never blocks the next run in that
# checkout: the next one starts a fresh session in bounded time and clears what the killed one
# left behind; a lock that something else holds for good fails the wait with a message naming
# that process. The real Xvfb runs; Wine is played by two small scripts (a wineserver that
# stays behind like the real one, a wine that can hang), so the test needs no Wine prefix.
set -u
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
scratch=$(mktemp -d)
prefix=$scratch/build/wineprefix
started=()  # every process this test started or that a session left behind, to end at the end
cleanup() {
  local pid
  exec 2>/dev/null  # the shell's word on each job it ends here
  for pid in "${started[@]}" $(cat "$prefix/.xvfb" "$prefix/.fake-wineserver" 2>/dev/null); do
    kill -KILL -- "$pid" 2>/dev/null
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

mkdir -p "$scratch/bin"
# wineserver -p: a server that outlives its caller, as the real one (-p again while it runs: 2);
# -k: stops it, first hanging there once when the hang-k file is there.
cat > "$scratch/bin/wineserver" <<'EOF'
#!/usr/bin/env bash
server=$WINEPREFIX/.fake-wineserver
case $1 in
  -p) [ -f "$server" ] && kill -0 "$(cat "$server")" 2>/dev/null && exit 2
      setsid sleep 600 </dev/null >/dev/null 2>&1 &
      echo $! > "$server" ;;
  -k) if [ -e "$WINEPREFIX/hang-k" ]; then rm -f "$WINEPREFIX/hang-k"; touch "$WINEPREFIX/hung"; sleep 600; fi
      [ -f "$server" ] && kill "$(cat "$server")" 2>/dev/null
      rm -f "$server" ;;
esac
exit 0
EOF
# wine: hangs once at its first program when the hang-wine file is there.
cat > "$scratch/bin/wine" <<'EOF'
#!/usr/bin/env bash
if [ -e "$WINEPREFIX/hang-wine" ]; then rm -f "$WINEPREFIX/hang-wine"; touch "$WINEPREFIX/hung"; sleep 600; fi
exit 0
EOF
chmod +x "$scratch/bin/"*
export PATH="$scratch/bin:$PATH" TOLLGATE_WINE_SESSION_WAIT=5

# One program in the session, as scripts/run.sh: joins, works until killed, leaves on its way out.
cat > "$scratch/holder.sh" <<EOF
. "$repo/scripts/wine-session.sh"
trap wine_session_leave EXIT
wine_session_join "$scratch/build" i686 || exit 1
touch "$prefix/joined"
sleep 600
EOF

# Whether process PID runs (a zombie left for its new parent to reap does not).
runs() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
  [ -n "$state" ] && [ "$state" != Z ]
}

# Waits up to 30 s for FILE.
await() {
  local i
  for i in $(seq 300); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}

failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# the moment | a file that makes it last, made before the start | the same, made once joined |
# what is sent to the holder's process group, in turn
while IFS='|' read -r moment before after signals; do
  [ -z "$moment" ] && continue
  mkdir -p "$prefix"
  rm -f "$prefix/joined" "$prefix/hung"
  [ -n "$before" ] && touch "$prefix/$before"
  # A process group of its own that takes SIGINT as from a terminal's Ctrl+C (set -m: a
  # background job of a script would ignore it).
  set -m
  bash "$scratch/holder.sh" </dev/null >"$scratch/holder.log" 2>&1 &
  holder=$!
  set +m
  started+=("-$holder")
  if [ -n "$before" ]; then await "$prefix/hung"; else await "$prefix/joined"; fi \
    || { fail "$moment: the holder did not get there: $(cat "$scratch/holder.log")"
         kill -KILL -- "-$holder"; continue; }
  [ -n "$after" ] && touch "$prefix/$after"
  left=$(cat "$prefix/.xvfb" "$prefix/.fake-wineserver" 2>/dev/null)
  started+=($left)
  for signal in $signals; do
    kill "-$signal" -- "-$holder" 2>/dev/null
    [ "$signal" = INT ] && { await "$prefix/hung" || fail "$moment: SIGINT did not lead to leaving"; }
  done
  wait "$holder" 2>/dev/null

  # The next run: joins and leaves within the lock's wait and Xvfb's start, or the test fails.
  if ! out=$(timeout 60 bash -c ". '$repo/scripts/wine-session.sh'
                                 wine_session_join '$scratch/build' i686 && wine_session_leave" 2>&1); then
    fail "$moment: the next run did not start: ${out:-it waited for ever}"
  fi
  sleep 1  # what the next run stopped takes a moment to end
  for pid in $left; do
    runs "$pid" && fail "$moment: process $pid of the killed session still runs"
  done
done <<'CASES'
starting|hang-wine||KILL
running|||KILL
leaving||hang-k|INT KILL
CASES

# A lock held for good by a process outside the session: the wait ends, naming that process.
bash -c 'exec {lock}>"$1"; flock -w 10 "$lock" && exec sleep 600' - "$prefix/.session.lock" &
started+=("$!")
sleep 0.5
if out=$(TOLLGATE_WINE_SESSION_WAIT=2 timeout 60 bash -c ". '$repo/scripts/wine-session.sh'
                                         wine_session_join '$scratch/build' i686" 2>&1); then
  fail "a held lock: the join went on"
elif [[ $out != *"gave up after 2 s"*"held by"*"$!"* ]]; then
  fail "a held lock: the wait did not end naming the holder $!: ${out:-it waited for ever}"
fi

[ "$failures" -eq 0 ] && echo "every next run started"
exit $((failures > 0))
