# Sourced: the test run's own Redis servers, for the shared-store tests.
#   redis_session_start DIR [sentinel]
#       starts a redis-server on a free loopback port, without persistence, and exports
#       TOLLGATE_TEST_REDIS_PORT; with `sentinel`, also a primary, its replica and one sentinel
#       watching them with short failover timings (the primary is down after 1 s of silence),
#       each on a free loopback port of its own, and exports TOLLGATE_TEST_SENTINEL_PORT and
#       TOLLGATE_TEST_SENTINEL_MASTER. Each server runs from a configuration file in
#       DIR/run-<this shell's process id>, where its log and pid file lie too. Servers that a run
#       killed earlier left behind (a run folder whose shell is gone) are stopped first, by the
#       process ids of their pid files, each checked to be a server of that folder. Without a
#       redis-server it says so and exports nothing (those tests skip).
#   redis_session_stop
#       stops this run's servers, whoever started them last (a test may restart one from its
#       configuration file), and removes the run's folder.

REDIS_SESSION_MASTER=tollgate-test

redis_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# redis_session_reap RUN: stops the servers of the run folder RUN (a server runs in its `dir`,
# the run folder itself) and removes the folder.
redis_session_reap() {
  local run=$1 pidfile pid i
  for pidfile in "$run"/*.pid; do
    [ -f "$pidfile" ] || continue
    pid=$(cat "$pidfile" 2>/dev/null) || continue
    [ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" = "$run" ] || continue
    kill "$pid" 2>/dev/null || continue
    for i in $(seq 1 30); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$run"
}

# redis_session_serve NAME PORT [LINE...]: writes NAME.conf (the lines after the common ones)
# and starts the server from it (a sentinel when NAME is `sentinel`); waits for its PONG.
redis_session_serve() {
  local name=$1 port=$2 i
  shift 2
  {
    printf '%s\n' "bind 127.0.0.1" "port $port" "dir $REDIS_SESSION_RUN" \
      "logfile $REDIS_SESSION_RUN/$name.log" "pidfile $REDIS_SESSION_RUN/$name.pid"
    [ "$name" = sentinel ] || printf '%s\n' 'save ""' "appendonly no"
    printf '%s\n' "$@"
  } > "$REDIS_SESSION_RUN/$name.conf"
  # Apart from this shell's jobs: a test may kill one, and its pid file names it.
  if [ "$name" = sentinel ]; then
    (redis-server "$REDIS_SESSION_RUN/$name.conf" --sentinel </dev/null >/dev/null 2>&1 &)
  else
    (redis-server "$REDIS_SESSION_RUN/$name.conf" </dev/null >/dev/null 2>&1 &)
  fi
  for i in $(seq 1 50); do
    [ "$(redis-cli -p "$port" ping 2>/dev/null)" = PONG ] && return 0
    sleep 0.1
  done
  echo "redis-session: $name did not start on port $port" >&2
}

redis_session_start() {
  local dir=$1 with=${2:-} run primary
  unset TOLLGATE_TEST_REDIS_PORT TOLLGATE_TEST_SENTINEL_PORT TOLLGATE_TEST_SENTINEL_MASTER
  command -v redis-server >/dev/null || { echo "redis-session: no redis-server" >&2; return 0; }
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd -P)
  for run in "$dir"/run-*; do
    [ -d "$run" ] && ! kill -0 "${run##*-}" 2>/dev/null && redis_session_reap "$run"
  done
  REDIS_SESSION_RUN="$dir/run-$$"
  mkdir -p "$REDIS_SESSION_RUN"
  export TOLLGATE_TEST_REDIS_PORT=$(redis_free_port)
  redis_session_serve store "$TOLLGATE_TEST_REDIS_PORT"
  [ "$with" = sentinel ] || return 0
  primary=$(redis_free_port)
  redis_session_serve primary "$primary"
  redis_session_serve replica "$(redis_free_port)" "replicaof 127.0.0.1 $primary"
  export TOLLGATE_TEST_SENTINEL_PORT=$(redis_free_port)
  export TOLLGATE_TEST_SENTINEL_MASTER=$REDIS_SESSION_MASTER
  redis_session_serve sentinel "$TOLLGATE_TEST_SENTINEL_PORT" \
    "sentinel monitor $REDIS_SESSION_MASTER 127.0.0.1 $primary 1" \
    "sentinel down-after-milliseconds $REDIS_SESSION_MASTER 1000" \
    "sentinel failover-timeout $REDIS_SESSION_MASTER 5000"
}

redis_session_stop() {
  if [ -n "${REDIS_SESSION_RUN:-}" ]; then redis_session_reap "$REDIS_SESSION_RUN"; fi
  REDIS_SESSION_RUN=
}
