#!/usr/bin/env python3
"""A password-guessing swarm against the running stand-in host (`make run`), to watch Tollgate.

N loopback addresses (127.1.0.1 upward; all of 127/8 is this machine) each make K connections
with a wrong password, round-robin (every address's first try, then every address's second, ...),
at a set rate. Each connection reads the greeting; when let in it sends USER/PASS with a wrong
password and QUIT. At the end it prints how many connections came after an address had used
its AuthFailures allowance and were still let in, and how many addresses were never refused.
With --network-bits B (and --network-failures F) it also counts per network of B bits, as the
module's NetworkBits and NetworkFailures do: the connections let in after their network's F-th.
254 addresses from 127.1.0.1 are one /24, 127.1.0.0/24.

With --spread the swarm is a botnet spread over the address space: each address is in a /24 of
its own (127.1.0.1, 127.1.1.1, 127.1.2.1, ...), so that no network reaches an allowance either.
With --users U, U of the server's own users, each from an address of its own (127.0.1.1
upward), log in once before the attack and then again every --login-every seconds during it,
with the names and passwords of --users-file (the host's `--users` file; default the host's
alice and bob); it reports how many of their logins were refused.

Only loopback targets are accepted, and the run is bounded in connections and in time.

    scripts/spray.py --addresses 200 --tries 8 --rate 100
    scripts/spray.py --addresses 254 --tries 4 --rate 500 --network-bits 24 --network-failures 20
    scripts/spray.py --spread --addresses 3000 --tries 3 --rate 100 --users 50
"""
import argparse
import ipaddress
import queue
import socket
import sys
import threading
import time

REFUSAL = b"-ERR: BlackListed by Tollgate."
MAX_ADDRESSES = 100000
MAX_TRIES = 50
MAX_SPREAD = 65280  # the /24s of 127.1.0.0 to 127.255.255.255
MAX_USERS = 254  # 127.0.1.1 to 127.0.1.254
HOST_USERS = [(b"alice", b"wonderland"), (b"bob", b"builder")]  # the host's own without --users


def one_try(host, port, source, timeout, user=b"alice", password=b"wrong-password"):
    """One connection from `source` that tries `password` for `user`: 'refused' (by Tollgate),
    'other' (turned away by the host, or a network error), else 'logged in' when the host took
    the password and 'admitted' when it did not."""
    try:
        with socket.create_connection((host, port), timeout=timeout, source_address=(source, 0)) as s:
            f = s.makefile("rb")
            greeting = f.readline()
            if greeting.startswith(REFUSAL):
                return "refused"
            if not greeting.startswith(b"+OK"):
                return "other"
            replies = []
            for line in (b"USER " + user, b"PASS " + password, b"QUIT"):
                s.sendall(line + b"\r\n")
                replies.append(f.readline())
                if not replies[-1]:
                    break
            return "logged in" if replies[1:2] and replies[1].startswith(b"+OK") else "admitted"
    except OSError:
        return "other"


def read_users(path):
    """The (name, password) pairs of a users file in the host's form: one name:password a line,
    blank lines and '#' comments skipped; the host's own two without a file."""
    if not path:
        return HOST_USERS
    users = []
    with open(path, "rb") as f:
        for line in f.read().splitlines():
            if line.strip() and not line.startswith(b"#"):
                name, _, password = line.partition(b":")
                users.append((name, password))
    if not users:
        sys.exit(f"spray: no users in {path}")
    return users


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1", help="the host's address (loopback only)")
    parser.add_argument("--port", type=int, default=1110)
    parser.add_argument("--addresses", type=int, default=200,
                        help=f"N, at most {MAX_ADDRESSES} ({MAX_SPREAD} spread)")
    parser.add_argument("--spread", action="store_true", help="each address in a /24 of its own")
    parser.add_argument("--tries", type=int, default=8, help=f"K per address, at most {MAX_TRIES}")
    parser.add_argument("--rate", type=float, default=100.0, help="connections started per second")
    parser.add_argument("--auth-failures", type=int, default=5, help="the module's AuthFailures")
    parser.add_argument("--network-bits", type=int, default=0,
                        help="count per network of this prefix length too (8 to 31)")
    parser.add_argument("--network-failures", type=int, default=20,
                        help="the module's NetworkFailures")
    parser.add_argument("--workers", type=int, default=16,
                        help="connections at once (the stand-in host serves 32)")
    parser.add_argument("--users", type=int, default=0,
                        help=f"users who log in before and during the attack, at most {MAX_USERS}")
    parser.add_argument("--login-every", type=float, default=5.0,
                        help="seconds between one user's logins during the attack (at least 1)")
    parser.add_argument("--users-file", help="their names and passwords: the host's --users file")
    parser.add_argument("--timeout", type=float, default=20.0, help="seconds per connection")
    parser.add_argument("--max-seconds", type=float, default=1800.0, help="stop after this long")
    args = parser.parse_args()

    if not ipaddress.ip_address(args.host).is_loopback:
        sys.exit("spray: only loopback targets (127.0.0.0/8)")
    if not (1 <= args.addresses <= MAX_ADDRESSES and 1 <= args.tries <= MAX_TRIES):
        sys.exit(f"spray: 1 to {MAX_ADDRESSES} addresses, 1 to {MAX_TRIES} tries")
    if args.spread and args.addresses > MAX_SPREAD:
        sys.exit(f"spray: at most {MAX_SPREAD} spread addresses, one a /24 of 127.1.0.0 upward")
    if not (0 <= args.users <= MAX_USERS and args.login_every >= 1):
        sys.exit(f"spray: 0 to {MAX_USERS} users, logging in at most once a second each")
    if args.network_bits and not (8 <= args.network_bits <= 31 and args.network_failures >= 1):
        sys.exit("spray: network bits 8 to 31 and a positive network allowance")
    if args.rate <= 0 or not (1 <= args.workers <= 64):
        sys.exit("spray: a positive rate and 1 to 64 workers")

    first = int(ipaddress.ip_address("127.1.0.1"))
    step = 256 if args.spread else 1
    sources = [str(ipaddress.ip_address(first + n * step)) for n in range(args.addresses)]
    results = {}  # (address number, try number) -> outcome
    lock = threading.Lock()

    credentials = read_users(args.users_file)
    first_user = int(ipaddress.ip_address("127.0.1.1"))
    logins = []  # the users' outcomes
    attack_over = threading.Event()

    def log_in(i):
        name, password = credentials[i % len(credentials)]
        outcome = one_try(args.host, args.port, str(ipaddress.ip_address(first_user + i)),
                          args.timeout, name, password)
        with lock:
            logins.append(outcome)

    def user(i):
        # The users' logins are spaced evenly over each period.
        due = time.monotonic() + args.login_every * (i + 1) / args.users
        while not attack_over.wait(max(0.0, due - time.monotonic())):
            log_in(i)
            due += args.login_every

    for i in range(args.users):
        log_in(i)
    users = [threading.Thread(target=user, args=(i,), daemon=True) for i in range(args.users)]
    for t in users:
        t.start()
    jobs = queue.Queue(maxsize=args.workers)

    def worker():
        while True:
            job = jobs.get()
            if job is None:
                return
            n, k = job
            outcome = one_try(args.host, args.port, sources[n], args.timeout)
            with lock:  # a guess that happens to be a user's password is let in all the same
                results[(n, k)] = "admitted" if outcome == "logged in" else outcome
            jobs.task_done()

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(args.workers)]
    for t in threads:
        t.start()

    start = time.monotonic()
    started = 0
    stopped_early = False
    for k in range(1, args.tries + 1):
        for n in range(args.addresses):
            due = start + started / args.rate
            now = time.monotonic()
            if now - start > args.max_seconds:
                stopped_early = True
                break
            if due > now:
                time.sleep(due - now)
            jobs.put((n, k))
            started += 1
        if stopped_early:
            break
        jobs.join()  # every address's try k is over before any try k + 1 starts
    jobs.join()
    for _ in threads:
        jobs.put(None)
    elapsed = time.monotonic() - start
    attack_over.set()
    for t in users:
        t.join()

    counts = {"admitted": 0, "refused": 0, "other": 0}
    for outcome in results.values():
        counts[outcome] += 1
    late = [(n, k) for (n, k), outcome in results.items() if k > args.auth_failures]
    late_admitted = sum(1 for key in late if results[key] == "admitted")
    refused_addresses = {n for (n, k), outcome in results.items() if outcome == "refused"}
    print(f"spray: {args.addresses} addresses x {args.tries} tries, {len(results)} connections in "
          f"{elapsed:.1f} s ({len(results) / elapsed:.0f}/s; asked {args.rate:g}/s)"
          + (" (stopped at the time bound)" if stopped_early else ""))
    print(f"  admitted {counts['admitted']}, refused by Tollgate {counts['refused']}, "
          f"turned away or failed {counts['other']}")
    print(f"  admitted beyond AuthFailures ({args.auth_failures}): {late_admitted} of {len(late)}")
    print(f"  addresses never refused: {args.addresses - len(refused_addresses)} of {args.addresses}")
    if args.network_bits:
        networks = {}  # network -> connections admitted
        for (n, k), outcome in results.items():
            net = ipaddress.ip_network(f"{sources[n]}/{args.network_bits}", strict=False)
            networks[net] = networks.get(net, 0) + (outcome == "admitted")
        beyond = sum(max(0, admitted - args.network_failures) for admitted in networks.values())
        print(f"  networks (/{args.network_bits}): {len(networks)}, admitted per network at most "
              f"{max(networks.values())}; admitted beyond NetworkFailures "
              f"({args.network_failures}): {beyond}")
    users_failed = len(logins) - logins.count("logged in") - logins.count("refused")
    if args.users:
        print(f"  users: {args.users}, each from its own address, logging in before the attack "
              f"and every {args.login_every:g} s during it")
        print(f"  users' logins: {len(logins)}, refused by Tollgate {logins.count('refused')}, "
              f"turned away or failed {users_failed}")
    return 0 if counts["other"] == 0 and users_failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
