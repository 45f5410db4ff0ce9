# Sourced: the test run's own redis-server, for the shared-store tests.
#   redis_session_start DIR   starts redis-server on a free loopback port, without persistence,
#                             its log in DIR; exports TOLLGATE_TEST_REDIS_PORT. Without a
#                             redis-server it says so and exports nothing (those tests skip).
#   redis_session_stop        stops it.

redis_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

redis_session_start() {
  local dir=$1 port i
  unset TOLLGATE_TEST_REDIS_PORT
  command -v redis-server >/dev/null || { echo "redis-session: no redis-server" >&2; return 0; }
  mkdir -p "$dir"
  port=$(redis_free_port)
  redis-server --bind 127.0.0.1 --port "$port" --save '' --appendonly no --dir "$dir" \
    --logfile "$dir/redis.log" </dev/null >/dev/null 2>&1 &
  REDIS_SESSION_PID=$!
  for i in $(seq 1 50); do
    [ "$(redis-cli -p "$port" ping 2>/dev/null)" = PONG ] && break
    sleep 0.1
  done
  export TOLLGATE_TEST_REDIS_PORT=$port
}

redis_session_stop() {
  if [ -n "${REDIS_SESSION_PID:-}" ]; then
    kill "$REDIS_SESSION_PID" 2>/dev/null || true
    wait "$REDIS_SESSION_PID" 2>/dev/null || true
  fi
  REDIS_SESSION_PID=
}
