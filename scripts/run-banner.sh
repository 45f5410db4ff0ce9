# What scripts/run.sh says before the host starts, from the arguments the host is given: where
# it listens, which users it knows and where it logs. Sourced by scripts/run.sh and its test.

# Prints "ADDRESS:PORT, USERS; LOG" for the host's arguments after the first, LOG_SHOWN (how to
# name the default log file): the host's defaults, changed by --bind, --port, --users and --log
# (the last of each counts, as the host reads them). The options that take no value are
# skipped; every other one takes the next argument as its value.
run_banner_facts() {
  local log="log in $1" bind=127.0.0.1 port=1110 users="users alice/wonderland and bob/builder"
  local name
  shift
  while [ $# -gt 0 ]; do
    name=$1
    shift
    case $name in --quiet | --configure | --help | -h) continue ;; esac
    [ $# -gt 0 ] || break
    case $name in
      --port) port=$1 ;;
      --bind) bind=$1 ;;
      --users) users="users from $1" ;;
      --log) [ -n "$1" ] && log="log in $1" || log="no log file" ;;
    esac
    shift
  done
  echo "$bind:$port, $users; $log"
}
