#!/usr/bin/env python3
"""Two stand-in hosts sharing their counts through one redis-server of the test's own.

Usage: shared_pair_test.py WINE_EXEC HOST_EXE DLL SCENARIO
"""
import subprocess
import tempfile
import time

from end_to_end_test import (REFUSAL, Host, free_port, ini_text, main, pop_login)

PASSWORD = "pair-secret"
PREFIX = "pair:"
BREAKER_S = 30


class Store:
    """A redis-server on a free loopback port, without persistence; restartable on that port."""

    def __init__(self, password):
        self.port = free_port()
        self.password = password
        self.dir = tempfile.mkdtemp(prefix="tollgate-redis-")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(
            ["redis-server", "--bind", "127.0.0.1", "--port", str(self.port), "--save", "",
             "--appendonly", "no", "--dir", self.dir, "--requirepass", self.password],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if self.cli("PING") == "PONG":
                return
            time.sleep(0.05)
        raise AssertionError("redis-server did not start")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)

    def cli(self, *command):
        done = subprocess.run(["redis-cli", "-p", str(self.port), "--no-auth-warning", "-a",
                               self.password, *command], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
        return done.stdout.strip()


def shared_ini(store, password=PASSWORD):
    lines = [f"SharedStore=127.0.0.1:{store.port}", f"SharedPassword={password}",
             f"SharedPrefix={PREFIX}", "SharedTimeout=200"]
    return ini_text(auth_failures=5, general=lines)


def start_hosts(args, ini, count):
    hosts = [Host(*args, ini) for _ in range(count)]
    for host in hosts:
        host.wait_listening()
    return hosts


def stop_hosts(hosts):
    logs = [host.stop() for host in hosts]
    for host, log in zip(hosts, logs):
        assert host.exit_code == 0, f"host exit {host.exit_code}:\n{log}"
    return logs


def alternate(hosts, source, tries):
    """`tries` wrong-password logins from `source`, taking the hosts in turn; the answers."""
    return [pop_login(hosts[i % len(hosts)].port, source, "alice", "wrong") for i in range(tries)]


def scenario_pair_shares_and_survives_the_store(args):
    """An alternating guesser is refused at its sixth connection overall; with the store gone
    both hosts decide locally after one warning each; back, sharing resumes within 30 s."""
    store = Store(PASSWORD)
    hosts = start_hosts(args, shared_ini(store), 2)
    try:
        answers = alternate(hosts, "127.0.0.5", 6)
        assert all(not a.startswith("refused") for a in answers[:5]), answers
        assert answers[5] == "refused: " + REFUSAL, answers
        assert store.cli("GET", PREFIX + "a:127.0.0.5") == "5"

        store.stop()
        answers = alternate(hosts, "127.0.0.6", 8)  # four each: under the local allowance
        assert all(not a.startswith("refused") for a in answers), answers
        assert answers.count("refused: " + REFUSAL) == 0

        store.start()
        time.sleep(BREAKER_S + 1)
        answers = alternate(hosts, "127.0.0.7", 6)
        assert all(not a.startswith("refused") for a in answers[:5]), answers
        assert answers[5] == "refused: " + REFUSAL, answers
    finally:
        logs = stop_hosts(hosts)
        store.stop()
    for log in logs:
        assert f"   SharedStore:  127.0.0.1:{store.port}, prefix '{PREFIX}'" in log, log
        assert PASSWORD not in log, log
        assert log.count("Tollgate: shared store 127.0.0.1") == 2, log  # failed, answers again
        assert log.count("answers again") == 1, log
    assert sum(log.count("    connection blocked (shared count)") for log in logs) == 2, logs


def scenario_bad_password_is_one_warning_and_local_decisions(args):
    """A wrong SharedPassword: one warning at start-up, then local decisions only."""
    store = Store(PASSWORD)
    hosts = start_hosts(args, shared_ini(store, password="wrong-secret"), 1)
    try:
        answers = alternate(hosts, "127.0.0.8", 6)
        assert answers[5] == "refused: " + REFUSAL, answers  # the local table's refusal
    finally:
        logs = stop_hosts(hosts)
        store.stop()
    assert logs[0].count("Tollgate: shared store 127.0.0.1") == 1, logs[0]
    assert "WRONGPASS" in logs[0], logs[0]
    assert "    connection blocked\n" in logs[0], logs[0]


SCENARIOS = {
    "PairSharesAndSurvivesTheStore": scenario_pair_shares_and_survives_the_store,
    "BadPasswordIsOneWarning": scenario_bad_password_is_one_warning_and_local_decisions,
}


if __name__ == "__main__":
    main(SCENARIOS)
