#!/usr/bin/env bash
# A run killed at any moment of scripts/wine-session.sh never blocks the next run in that
# checkout: the next one starts a fresh session in bounded time and ends what the killed one
# left behind; a lock that something else holds for good ends the wait with a message naming
# that process. The real Xvfb runs; Wine is played by a small script, so no prefix is made.
set -u
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
scratch=$(mktemp -d)
prefix=$scratch/build/wineprefix
started=()  # every process this test started or that a session left behind
cleanup() {
  exec 2>/dev/null  # the shell's word on each job it ends here
  kill -KILL -- "${started[@]}" $(cat "$prefix/.xvfb" "$prefix/.fake-wineserver")
  rm -rf "$scratch"
}
trap cleanup EXIT

# Wine's stand-in, as wine and as wineserver: hangs once where a hang-NAME file says so;
# wineserver -p leaves a server behind as the real one does (status 2 while it runs), -k ends it.
mkdir -p "$scratch/bin" "$prefix"
cat > "$scratch/bin/wine" <<'EOF'
#!/usr/bin/env bash
name=${0##*/} server=$WINEPREFIX/.fake-wineserver
[ -e "$WINEPREFIX/hang-$name" ] && { rm "$WINEPREFIX/hang-$name"; touch "$WINEPREFIX/hung"; sleep 600; }
case $name$1 in
  wineserver-p) kill -0 "$(cat "$server" 2>/dev/null)" 2>/dev/null && exit 2
                setsid sleep 600 </dev/null >/dev/null 2>&1 &
                echo $! > "$server" ;;
  wineserver-k) kill "$(cat "$server" 2>/dev/null)" 2>/dev/null; rm -f "$server" ;;
esac
exit 0
EOF
chmod +x "$scratch/bin/wine"
ln -s wine "$scratch/bin/wineserver"
export PATH="$scratch/bin:$PATH" TOLLGATE_WINE_SESSION_WAIT=5

# One program in the session, as scripts/run.sh: joins, works until killed, leaves on its way out.
cat > "$scratch/holder.sh" <<EOF
. "$repo/scripts/wine-session.sh"
trap wine_session_leave EXIT
wine_session_join "$scratch/build" i686 || exit 1
touch "$prefix/joined"
sleep 600
EOF
next_run() {
  timeout 60 bash -c ". '$repo/scripts/wine-session.sh'
                      wine_session_join '$scratch/build' i686 && wine_session_leave" 2>&1
}
await() { local i; for i in $(seq 300); do [ -e "$1" ] && return 0; sleep 0.1; done; return 1; }
# A zombie left for its new parent to reap has ended.
runs() { local s; s=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null); [ -n "$s" ] && [ "$s" != Z ]; }
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# the moment | what hangs there, made before the start | made once joined | signals, in turn
while IFS='|' read -r moment before after signals; do
  rm -f "$prefix/joined" "$prefix/hung"
  [ -n "$before" ] && touch "$prefix/$before"
  set -m  # a process group of its own that takes SIGINT as from Ctrl+C, not a script's job
  bash "$scratch/holder.sh" </dev/null >"$scratch/holder.log" 2>&1 &
  holder=$!
  set +m
  started+=("-$holder")
  marker=joined
  [ -n "$before" ] && marker=hung
  if ! await "$prefix/$marker"; then
    fail "$moment: the holder did not get there: $(cat "$scratch/holder.log")"
    kill -KILL -- "-$holder"
    continue
  fi
  [ -n "$after" ] && touch "$prefix/$after"
  left=$(cat "$prefix/.xvfb" "$prefix/.fake-wineserver" 2>/dev/null)
  started+=($left)
  for signal in $signals; do
    kill "-$signal" -- "-$holder"
    [ "$signal" = INT ] && { await "$prefix/hung" || fail "$moment: SIGINT did not lead to leaving"; }
  done
  wait "$holder" 2>/dev/null

  out=$(next_run) || fail "$moment: the next run did not start: ${out:-it waited for ever}"
  sleep 1  # what the next run ended takes a moment to go
  for pid in $left; do
    runs "$pid" && fail "$moment: process $pid of the killed session still runs"
  done
done <<'CASES'
starting|hang-wine||KILL
running|||KILL
leaving||hang-wineserver|INT KILL
CASES

# A lock held for good by a process outside the session: the wait ends, naming that process.
bash -c 'exec {lock}>"$1"; flock -w 10 "$lock" && exec sleep 600' - "$prefix/.session.lock" &
started+=("$!")
sleep 0.5
if out=$(TOLLGATE_WINE_SESSION_WAIT=2 next_run); then
  fail "a held lock: the join went on"
elif [[ $out != *"gave up after 2 s"*"held by"*"$!"* ]]; then
  fail "a held lock: the wait did not end naming the holder $!: ${out:-it waited for ever}"
fi

[ "$failures" -eq 0 ] && echo "every next run started"
exit $((failures > 0))
