#!/usr/bin/env python3
"""Two stand-in hosts sharing their counts through one redis-server of the test's own, or
through the primary the test run's sentinel names (scripts/redis-session.sh).

Usage: shared_pair_test.py WINE_EXEC HOST_EXE DLL SCENARIO
"""
import os
import signal
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
        return cli(self.port, "--no-auth-warning", "-a", self.password, *command)


def cli(port, *command):
    """redis-cli's answer to `command` on the server or sentinel at `port`."""
    done = subprocess.run(["redis-cli", "-p", str(port), *command], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    return done.stdout.strip()


def shared_ini(store, password=PASSWORD, clear_time=30, general=(), auth_failures=5):
    lines = [f"SharedStore=127.0.0.1:{store.port}", f"SharedPassword={password}",
             f"SharedPrefix={PREFIX}", "SharedTimeout=200"]
    return ini_text(auth_failures=auth_failures, clear_time=clear_time,
                    general=lines + list(general))


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


def refused(answers):
    return [answer.startswith("refused") for answer in answers]


def scenario_offender_escalates_across_hosts(args):
    """With RepeatFactor=2, ClearTime=1 and RepeatAuthFailures=1, an address refused on host A
    is an offender on host B once the store's refusal has cleared (its key deleted, standing for
    the minute): let in once, then refused for twice as long; A still refuses it."""
    store = Store(PASSWORD)
    ini = shared_ini(store, clear_time=1, general=["RepeatFactor=2", "RepeatAuthFailures=1"])
    a, b = hosts = [Host(*args, ini), Host(*args, ini)]
    offences, refusal = PREFIX + "o:127.0.0.13", PREFIX + "r:127.0.0.13"
    try:
        for host in hosts:
            host.wait_listening()
        answers = [pop_login(a.port, "127.0.0.13", "alice", "wrong") for _ in range(6)]
        assert refused(answers) == [False] * 5 + [True], answers
        assert store.cli("GET", offences) == "1"
        store.cli("DEL", refusal)
        answers = [pop_login(b.port, "127.0.0.13", "alice", "wrong") for _ in range(2)]
        assert refused(answers) == [False, True], answers
        assert store.cli("GET", offences) == "2" and 110 <= int(store.cli("TTL", refusal)) <= 120
        assert pop_login(a.port, "127.0.0.13", "alice", "wonderland") == "refused: " + REFUSAL
    finally:
        logs = stop_hosts(hosts)
        store.stop()
    assert logs[1].count("    known offender (1), allowed") == 1, logs[1]


def admin_hand(args, *words):
    """The administrator's hand on the dialog a host shows (tests/mailhost/admin_hand.cpp)."""
    hand = os.path.join(os.path.dirname(args[1]), "admin_hand.exe")
    return subprocess.run([args[0], hand, *words], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60).returncode


def scenario_hand_refusal_reaches_every_host(args):
    """"Refuse now" in host A's dialog refuses the address on host B from its next connection,
    and "Forget" lets it in there again; "Refuse now" on A's network row refuses the other
    addresses of the network on B, for ClearTime, though B allows the most AuthFailures and
    NetworkFailures there are. Without RepeatFactor the store keeps no offender's key."""
    store = Store(PASSWORD)
    ini = shared_ini(store, general=["NetworkBits=24", "NetworkFailures=20"])
    most = shared_ini(store, auth_failures=30, general=["NetworkBits=24", "NetworkFailures=65535"])
    a, b = hosts = [Host(*args, ini, console="configure\n"), Host(*args, most)]
    try:
        for host in hosts:
            host.wait_listening()
        assert not refused([pop_login(a.port, "127.0.0.14", "alice", "wrong")])[0]
        assert admin_hand(args, "refuse", "first") == 0
        assert int(store.cli("TTL", PREFIX + "a:127.0.0.14")) > 1790
        assert pop_login(b.port, "127.0.0.14", "alice", "wonderland") == "refused: " + REFUSAL
        assert admin_hand(args, "forget", "first") == 0
        assert pop_login(b.port, "127.0.0.14", "alice", "wonderland") == "ok"
        assert not refused([pop_login(a.port, "127.0.0.15", "alice", "wrong")])[0]
        assert admin_hand(args, "refuse", "last") == 0
        assert int(store.cli("TTL", PREFIX + "n:127.0.0.0/24")) > 1790
        assert pop_login(b.port, "127.0.0.16", "alice", "wonderland") == "refused: " + REFUSAL
        assert store.cli("KEYS", PREFIX + "[or]:*") == ""  # no offender's keys without RepeatFactor
    finally:
        admin_hand(args, "close")
        logs = stop_hosts(hosts)
        store.stop()
    for line in ("127.0.0.14 refused", "127.0.0.14 forgotten", "127.0.0.0/24 refused"):
        assert f"Tollgate: {line} by the administrator" in logs[0], logs[0]
    assert logs[1].count("    connection blocked (shared count)") == 1, logs[1]
    assert logs[1].count("    connection blocked (network 127.0.0.0/24)") == 1, logs[1]


def sentinel_replicas_ready(port, master):
    """True when the sentinel knows a replica of `master` that is up and linked."""
    words = cli(port, "SENTINEL", "replicas", master).split("\n")
    fields = dict(zip(words[::2], words[1::2]))
    return fields.get("flags") == "slave" and fields.get("master-link-status") == "ok"


def sentinel_primary(port, master):
    """The port of the primary the sentinel names, or None."""
    words = cli(port, "SENTINEL", "get-master-addr-by-name", master).split()
    return int(words[1]) if len(words) == 2 else None


def wait_for(check, limit_s):
    deadline = time.time() + limit_s
    while not check():
        if time.time() > deadline:
            return False
        time.sleep(0.2)
    return True


def scenario_failover_through_sentinel(args):
    """Two hosts share through the primary the test run's sentinel names; that primary is killed
    (SIGKILL), and within 60 s they share through the replica promoted. The killed server is
    started again, and the sentinel makes it the new primary's replica."""
    port = os.environ.get("TOLLGATE_TEST_SENTINEL_PORT")
    master = os.environ.get("TOLLGATE_TEST_SENTINEL_MASTER")
    if not port or not master:
        print("skipped: no sentinel for this run")
        return
    assert wait_for(lambda: sentinel_replicas_ready(port, master), 60), "no replica ready"
    primary = sentinel_primary(port, master)
    info = dict(line.split(":", 1) for line in cli(primary, "INFO", "server").split()
                if ":" in line)
    ini = ini_text(auth_failures=5, general=[
        f"SharedSentinels=127.0.0.1:{port}", f"SharedMaster={master}",
        f"SharedPrefix=failover:{os.getpid()}:", "SharedTimeout=200"])
    hosts = start_hosts(args, ini, 2)
    try:
        assert refused(alternate(hosts, "127.0.0.17", 6)) == [False] * 5 + [True]
        os.kill(int(info["process_id"]), signal.SIGKILL)
        killed = time.time()
        alternate(hosts, "127.0.0.18", 2)  # each host fails once and decides alone
        assert wait_for(lambda: sentinel_primary(port, master) not in (None, primary), 30)
        promoted = sentinel_primary(port, master)
        time.sleep(max(0.0, killed + BREAKER_S + 1 - time.time()))
        assert refused(alternate(hosts, "127.0.0.19", 6)) == [False] * 5 + [True]
        took = time.time() - killed
        assert took < 60, took
    finally:
        logs = stop_hosts(hosts)
        subprocess.Popen(["redis-server", info["config_file"]], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)
    for log in logs:
        assert f"Tollgate: shared store primary '{master}' is 127.0.0.1:{primary}\n" in log, log
        assert (f"Tollgate: shared store primary '{master}' is now 127.0.0.1:{promoted} "
                f"(was 127.0.0.1:{primary})") in log, log
        assert log.count("answers again") == 1, log
    print(f"sharing again {took:.1f} s after the primary was killed")


SIEGE_SEEN_S = 60  # the sweeper's syncs are 5 s apart: one to push, one to hear the others;
                   # a loaded machine may make either late


def scenario_pair_shares_trust_and_siege(args):
    """With TrustDays=1, SiegeFailures=6 and SiegeAuthFailures=0 on both hosts: a user who logged
    in on A is served on B through a siege that six guessers bring about, three on each host
    (each host alone counts three, under its SiegeFailures); an address that never logged in is
    refused on both, even with the right password."""
    store = Store(PASSWORD)
    siege = ("TrustDays=1", "SiegeFailures=6", "SiegeAuthFailures=0")
    ini = shared_ini(store, general=siege)
    hosts = start_hosts(args, ini, 2)
    try:
        assert pop_login(hosts[0].port, "127.0.0.2", "alice", "wonderland") == "ok"
        assert store.cli("ZSCORE", PREFIX + "t", "127.0.0.2") != ""
        answers = [pop_login(hosts[n % 2].port, f"127.1.{n}.1", "alice", "wrong")
                   for n in range(6)]
        assert not any(a.startswith("refused") for a in answers), answers
        assert wait_for(lambda: all("Tollgate: under siege: " in h.log() for h in hosts),
                        SIEGE_SEEN_S), [h.log() for h in hosts]
        assert pop_login(hosts[1].port, "127.0.0.2", "alice", "wonderland") == "ok"
        for host in hosts:
            assert pop_login(host.port, "127.0.0.3", "bob", "builder") == "refused: " + REFUSAL
        # a server sets its mark at its first sync after its siege began, which may come a
        # sync after the other server heard of the siege; the mark always has its life
        assert wait_for(lambda: store.cli("TTL", PREFIX + "m") not in ("-2", "-1"),
                        SIEGE_SEEN_S), store.cli("KEYS", "*")
    finally:
        logs = stop_hosts(hosts)
        store.stop()
    for log in logs:
        assert log.count("Tollgate: under siege: ") == 1, log
        assert "untrusted addresses get 0" in log, log
        assert log.count("    connection blocked (siege)") == 1, log


SCENARIOS = {
    "PairSharesAndSurvivesTheStore": scenario_pair_shares_and_survives_the_store,
    "BadPasswordIsOneWarning": scenario_bad_password_is_one_warning_and_local_decisions,
    "OffenderEscalatesAcrossHosts": scenario_offender_escalates_across_hosts,
    "HandRefusalReachesEveryHost": scenario_hand_refusal_reaches_every_host,
    "FailoverThroughSentinel": scenario_failover_through_sentinel,
    "PairSharesTrustAndSiege": scenario_pair_shares_trust_and_siege,
}


if __name__ == "__main__":
    main(SCENARIOS)
