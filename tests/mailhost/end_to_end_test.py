#!/usr/bin/env python3
"""Tollgate inside the stand-in mail host under Wine, driven by real POP3 clients.

Usage: end_to_end_test.py WINE_EXEC HOST_EXE DLL SCENARIO

Each scenario starts the host on a free port in a fresh working directory with its own
Tollgate.ini, talks to it with Python's poplib and with curl from distinct loopback addresses
(127.0.0.2, 127.0.0.3, ...), always stops it, and then checks the host's log, including the
statistics printed at exit.
"""
import os
import poplib
import re
import socket
import subprocess
import sys
import tempfile
import time

REFUSAL = "-ERR: BlackListed by Tollgate."
START_LIMIT_S = 90   # Wine's first start in a fresh prefix can be slow
STOP_LIMIT_S = 40    # the module's shutdown sleeps a second; Wine adds its own


def windows_path(path):
    """The Wine (drive Z:) form of an absolute Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ini_text(auth_failures=5, clear_time=30, use_short_term=0, white=(), state_file=None,
             black=(), general=()):
    lines = ["[General]", "Version=0.98", f"ClearTime={clear_time}",
             f"AuthFailures={auth_failures}", f"UseShortTerm={use_short_term}",
             f"WhiteIPs={len(white)}"] + ([f"StateFile={state_file}"] if state_file else [])
    lines += [f"BlackIPs={len(black)}"] if black else []
    lines += list(general)
    lines += ["[WhiteIP]"]
    lines += [f"WhiteIP{i}={entry}" for i, entry in enumerate(white, 1)]
    lines += ["[BlackIP]"] if black else []
    lines += [f"BlackIP{i}={entry}" for i, entry in enumerate(black, 1)]
    return "\r\n".join(lines) + "\r\n"


class Host:
    """The stand-in host under Wine in a fresh working directory."""

    def __init__(self, wine_exec, host_exe, dll, ini, extra_args=(), files=None, console=""):
        self.dir = tempfile.mkdtemp(prefix="tollgate-e2e-")
        for name, text in dict(files or {}, **{"Tollgate.ini": ini, "console-in": console}).items():
            with open(os.path.join(self.dir, name), "w", newline="") as f:
                f.write(text)
        self.port = free_port()
        self.log_path = os.path.join(self.dir, "mailhost.log")
        self.stop_path = os.path.join(self.dir, "stop")
        self.out = open(os.path.join(self.dir, "console.txt"), "wb")
        # No pipes: Wine's service processes would inherit them and hold them open. The
        # console's commands (`console`, e.g. "configure\n") come from a file.
        commands = open(os.path.join(self.dir, "console-in"), "rb")
        self.proc = subprocess.Popen(
            [wine_exec, host_exe, "--dll", windows_path(dll), "--port", str(self.port),
             "--stop-file", "stop", "--log", "mailhost.log", *extra_args],
            cwd=self.dir, stdin=commands, stdout=self.out, stderr=subprocess.STDOUT)
        commands.close()
        self.exit_code = None

    def log(self):
        try:
            with open(self.log_path, encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_listening(self):
        """Waits for the host's "POP3 on" line (connecting would itself count as a client)."""
        deadline = time.time() + START_LIMIT_S
        while time.time() < deadline:
            if "mailhost: POP3 on " in self.log():
                return
            if self.proc.poll() is not None:
                raise AssertionError(f"host ended early ({self.proc.returncode}):\n{self.log()}")
            time.sleep(0.2)
        raise AssertionError("host did not listen in time:\n" + self.log())

    def stop(self):
        """Asks the host to stop through the stop file; kills it if it does not."""
        open(self.stop_path, "w").close()
        try:
            self.exit_code = self.proc.wait(STOP_LIMIT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            self.exit_code = "killed"
        self.out.close()
        return self.log()


class BoundPOP3(poplib.POP3):
    """poplib's client with its socket bound to a chosen local address."""

    def __init__(self, port, source):
        self.source = source
        super().__init__("127.0.0.1", port, timeout=20)

    def _create_socket(self, timeout):
        return socket.create_connection((self.host, self.port), timeout,
                                        source_address=(self.source, 0))


def pop_greeting(port, source):
    """Connects and returns the greeting line; closes with QUIT when it was +OK."""
    try:
        client = BoundPOP3(port, source)
    except poplib.error_proto as refused:
        return refused.args[0].decode("latin-1")
    greeting = client.getwelcome().decode("latin-1")
    client.quit()
    return greeting


def pop_login(port, source, user, password, apop=False):
    """One connection, one login (USER/PASS or APOP). Returns "refused: <line>", "ok" or the
    server's -ERR answer."""
    try:
        client = BoundPOP3(port, source)
    except poplib.error_proto as refused:
        return "refused: " + refused.args[0].decode("latin-1")
    try:
        if apop:
            client.apop(user, password)
        else:
            client.user(user)
            client.pass_(password)
        count, size = client.stat()
        assert (count, size) == (0, 0), (count, size)
        result = "ok"
    except poplib.error_proto as answer:
        result = answer.args[0].decode("latin-1")
    client.quit()
    return result


def curl_login(port, source, user, password):
    """curl's POP3 client (CAPA, AUTH PLAIN, LIST). Returns (exit code, verbose text)."""
    done = subprocess.run(
        ["curl", "-sv", "--max-time", "20", f"pop3://127.0.0.1:{port}/", "-u",
         f"{user}:{password}", "--interface", source],
        stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
    return done.returncode, done.stderr


def statistic(log, name):
    """The value the host printed at exit for a Tollgate category."""
    found = re.findall(r"^  Tollgate / " + re.escape(name) + r": (-?\d+) ", log, re.M)
    assert found, f"no statistics line for {name}:\n{log}"
    return int(found[-1])


def connects(log, address):
    return log.count(f"Tollgate: connect from {address}\n")


def run_host(args, ini, body, extra_args=(), files=None):
    """Starts a host with `ini`, runs `body(port)`, always stops it; returns the log."""
    host = Host(*args, ini, extra_args, files)
    try:
        host.wait_listening()
        body(host.port)
    except BaseException:
        sys.stderr.write(host.stop())
        raise
    log = host.stop()
    assert host.exit_code == 0, f"host exit {host.exit_code}:\n{log}"
    assert "mailhost: stopped" in log, log
    return log


def scenario_refused_after_auth_failures(args):
    """AuthFailures wrong-password connections are let in, the next one is refused, with both
    poplib and curl; every refusal is counted in "Blocked hosts"."""
    def body(port):
        for i in range(5):
            answer = pop_login(port, "127.0.0.2", "alice", "wrong")
            assert answer.startswith("-ERR"), (i, answer)
            assert not answer.startswith("refused"), (i, answer)
        assert pop_login(port, "127.0.0.2", "alice", "wonderland") == "refused: " + REFUSAL
        assert pop_greeting(port, "127.0.0.2") == REFUSAL
        for i in range(5):
            code, text = curl_login(port, "127.0.0.3", "bob", "wrong")
            assert code == 67, (i, code, text)  # login denied
        code, text = curl_login(port, "127.0.0.3", "bob", "builder")
        assert "< " + REFUSAL in text, text
        assert code != 0, code

    log = run_host(args, ini_text(auth_failures=5), body)
    assert connects(log, "127.0.0.2") == 7, log
    assert log.count("    connection blocked") == 3, log
    assert log.count(REFUSAL) == 3, log  # the host's refusal notes
    assert statistic(log, "Blocked hosts") == 3, log
    assert statistic(log, "MaxListSize") == 2, log


def scenario_login_restarts_count(args):
    """A right password (APOP, USER/PASS or curl's AUTH PLAIN) before the limit releases the
    address: the count starts again from the next connection."""
    def body(port):
        address = "127.0.0.4"
        for i in range(4):
            assert pop_login(port, address, "alice", "wrong").startswith("-ERR"), i
        assert pop_login(port, address, "alice", "wonderland", apop=True) == "ok"
        for i in range(4):
            assert pop_login(port, address, "bob", "wrong").startswith("-ERR"), i
        assert pop_login(port, address, "bob", "builder") == "ok"
        for i in range(4):
            code, text = curl_login(port, address, "alice", "wrong")
            assert code == 67, (i, code, text)
        code, text = curl_login(port, address, "alice", "wonderland")
        assert code == 0, text
        # Counted afresh: five more wrong connections are let in, the sixth is refused.
        for i in range(5):
            assert pop_login(port, address, "alice", "wrong").startswith("-ERR"), i
        assert pop_greeting(port, address) == REFUSAL

    log = run_host(args, ini_text(auth_failures=5), body)
    assert "Tollgate: APOP auth from 127.0.0.4" in log, log
    assert "Tollgate: login from 127.0.0.4" in log, log
    assert "Tollgate: OtherAuth from 127.0.0.4" in log, log
    assert log.count("    new IP, allowed") == 4, log
    assert statistic(log, "Blocked hosts") == 1, log
    assert statistic(log, "MaxListSize") == 1, log


def scenario_white_listed_never_refused(args):
    """An address the white list of Tollgate.ini covers is never counted nor refused."""
    def body(port):
        for i in range(8):
            answer = pop_login(port, "127.0.0.77", "alice", "wrong")
            assert answer.startswith("-ERR") and not answer.startswith("refused"), (i, answer)
        code, text = curl_login(port, "127.0.0.77", "alice", "wonderland")
        assert code == 0, text
        # An address outside the entry is tracked as usual.
        for i in range(2):
            assert pop_login(port, "127.0.1.5", "alice", "wrong").startswith("-ERR"), i
        assert pop_greeting(port, "127.0.1.5") == REFUSAL

    ini = ini_text(auth_failures=2, white=("127.0.0.64/26", "192.168.1.0/24"))
    log = run_host(args, ini, body)
    assert "       1: 127.0.0.64/26" in log, log
    assert log.count("    whitelisted") == 9, log
    assert statistic(log, "Blocked hosts") == 1, log
    assert statistic(log, "MaxListSize") == 1, log


def scenario_short_term_block(args):
    """With UseShortTerm=1 a refusal returns -3: the host refuses the client and then blocks
    the address itself, before the module hears of it."""
    def body(port):
        address = "127.0.0.9"
        for i in range(2):
            assert pop_login(port, address, "alice", "wrong").startswith("-ERR"), i
        assert pop_greeting(port, address) == REFUSAL
        blocked = pop_greeting(port, address)
        assert blocked.startswith("-ERR") and blocked != REFUSAL, blocked
        # Other addresses are served as before.
        assert pop_login(port, "127.0.0.10", "bob", "builder") == "ok"

    log = run_host(args, ini_text(auth_failures=2, use_short_term=1), body)
    assert "   UseShortTerm: Yes" in log, log
    assert "127.0.0.9 refused by the module (-3): " + REFUSAL in log, log
    assert "127.0.0.9 put on the short-term block" in log, log
    assert "127.0.0.9 refused: on the short-term block" in log, log
    assert connects(log, "127.0.0.9") == 3, log  # the blocked one never reached the module
    assert statistic(log, "Blocked hosts") == 1, log


def scenario_full_table(args):
    """48 distinct addresses fill the table; the 49th is let in with the full-table warning
    and is not stored."""
    def body(port):
        for i in range(1, 49):
            assert pop_greeting(port, f"127.0.2.{i}").startswith("+OK"), i
        for i in range(6):
            assert pop_login(port, "127.0.2.49", "alice", "wrong").startswith("-ERR"), i
        assert pop_login(port, "127.0.2.49", "alice", "wonderland") == "ok"

    log = run_host(args, ini_text(auth_failures=5), body)
    assert log.count("Tollgate:  DB full, connection allowed") == 7, log
    assert "    connection blocked" not in log, log
    assert statistic(log, "MaxListSize") == 48, log
    assert statistic(log, "Blocked hosts") == 0, log


def while_busy(attempt):
    """Repeats `attempt` while the host turns it away for want of a free connection (a
    connection's thread ends just after its last answer), for up to 10 s."""
    deadline = time.time() + 10
    while True:
        answer = attempt()
        if "too many connections" not in answer or time.time() > deadline:
            return answer
        time.sleep(0.2)


def scenario_bounded_connections_and_users_file(args):
    """Connections beyond --max-connections are turned away by the host before the module
    hears of them; users come from --users; the host stops cleanly with a client still
    connected."""
    def body(port):
        first = BoundPOP3(port, "127.0.0.20")
        kept.append(BoundPOP3(port, "127.0.0.21"))  # stays connected through the stop
        assert pop_greeting(port, "127.0.0.22").startswith("-ERR too many connections")
        first.quit()
        assert while_busy(lambda: pop_login(port, "127.0.0.23", "carol", "s3cret")) == "ok"
        answer = while_busy(lambda: pop_login(port, "127.0.0.24", "alice", "wonderland"))
        assert answer.startswith("-ERR invalid"), answer

    kept = []
    log = run_host(args, ini_text(), body, ("--max-connections", "2", "--users", "users.txt"),
                   {"users.txt": "# test users\ncarol:s3cret\n"})
    assert "127.0.0.22 turned away: 2 connections are being served" in log, log
    assert connects(log, "127.0.0.22") == 0, log
    assert "127.0.0.23: carol logged in (USER/PASS)" in log, log
    assert "127.0.0.24: failed login for 'alice' (USER/PASS)" in log, log
    assert "still open" not in log, log


def scenario_silent_connections_are_bounded(args):
    """One address holds at most --max-per-address connections at once, one silent before
    logging in is dropped after --login-idle seconds, and one logged in is kept past that."""
    def body(port):
        quiet = [socket.create_connection(("127.0.0.1", port), 20, source_address=("127.0.0.30", 0))
                 for _ in range(2)]
        assert all(sock.recv(200).startswith(b"+OK") for sock in quiet)
        turned = pop_greeting(port, "127.0.0.30")
        assert turned.startswith("-ERR too many connections from your address"), turned
        client = BoundPOP3(port, "127.0.0.31")
        client.user("alice")
        client.pass_("wonderland")
        time.sleep(3.5)
        assert all(sock.recv(200) == b"" for sock in quiet), "a silent connection was kept"
        assert client.noop().startswith(b"+OK")
        client.quit()
        assert while_busy(lambda: pop_greeting(port, "127.0.0.30")).startswith("+OK")

    log = run_host(args, ini_text(), body, ("--max-per-address", "2", "--login-idle", "2"))
    assert "127.0.0.30 turned away: 2 connections from it are being served" in log, log
    assert log.count("127.0.0.30 dropped: silent for 2 s before logging in") == 2, log
    assert "127.0.0.31 dropped" not in log, log
    assert connects(log, "127.0.0.30") == 3, log  # the one turned away never reached it


def scenario_refusal_survives_restart(args):
    """With StateFile set, an address refused before the host stops is refused at once by the
    next host, even with the right password: the stop wrote the file, the start read it."""
    state = os.path.join(tempfile.mkdtemp(prefix="tollgate-e2e-"), "Tollgate.state")
    ini = ini_text(state_file=windows_path(state))

    def refuse(port):
        for i in range(5):
            assert pop_login(port, "127.0.0.5", "alice", "wrong").startswith("-ERR"), i
        assert pop_greeting(port, "127.0.0.5") == REFUSAL

    def refused_at_once(port):
        assert pop_login(port, "127.0.0.5", "alice", "wonderland") == "refused: " + REFUSAL

    run_host(args, ini, refuse)
    with open(state) as f:
        assert f.readline() == "Tollgate state 1\n" and "\n127.0.0.5 5 " in f.read()
    log = run_host(args, ini, refused_at_once)
    assert "Tollgate: 1 addresses restored from the state file, 0 lines dropped" in log, log
    assert statistic(log, "MaxListSize") == 1, log  # held from the start


def scenario_black_listed_refused_at_once(args):
    """An address on the black list is refused at its first connection, even with the right
    password, and at every one after; it is never held. The white list wins where both match;
    addresses outside both are counted as usual."""
    def body(port):
        assert pop_login(port, "127.0.0.33", "alice", "wonderland") == "refused: " + REFUSAL
        for i in range(3):
            assert pop_greeting(port, "127.0.0.34") == REFUSAL, i
        assert pop_login(port, "127.0.0.40", "alice", "wonderland") == "ok"  # white wins
        assert pop_login(port, "127.0.0.50", "alice", "wrong").startswith("-ERR")

    ini = ini_text(white=("127.0.0.40/32",), black=("127.0.0.32/28", "10.1.0.0/16"))
    log = run_host(args, ini, body)
    order = [log.find(line) for line in ("   WhiteList:", "       1: 127.0.0.40/32",
                                         "   BlackList:", "       1: 127.0.0.32/28",
                                         "       2: 10.1.0.0/16")]
    assert -1 not in order and order == sorted(order), log
    assert log.count("    connection blocked (black list)") == 4, log
    assert statistic(log, "Blocked hosts") == 4, log
    assert statistic(log, "MaxListSize") == 1, log  # only 127.0.0.50 was held


def scenario_repeat_offender(args):
    """With RepeatFactor=2 and ClearTime=1, an address whose first refusal has cleared (after
    60 s of quiet) is let in with RepeatAuthFailures (1) connection, then refused again; that
    second refusal lasts 120 s, so it is still refused, right password or not, after 100 s."""
    def body(port):
        address = "127.0.0.11"
        for i in range(5):
            assert pop_login(port, address, "alice", "wrong").startswith("-ERR"), i
        assert pop_greeting(port, address) == REFUSAL
        time.sleep(61)  # quiet for longer than the first refusal's 60 s
        answer = pop_login(port, address, "alice", "wrong")
        assert answer.startswith("-ERR") and not answer.startswith("refused"), answer
        assert pop_greeting(port, address) == REFUSAL  # the second offence
        time.sleep(100)
        assert pop_login(port, address, "alice", "wonderland") == "refused: " + REFUSAL

    ini = ini_text(clear_time=1, general=("RepeatFactor=2", "RepeatAuthFailures=1"))
    log = run_host(args, ini, body)
    assert "   AuthFailures: 5\n" in log and "   Repeat:       x2, at most 10080 min, 1 failure\n" in log, log
    assert log.index("   AuthFailures: ") < log.index("   Repeat: "), log
    assert log.count("    known offender (1), allowed") == 1, log
    assert log.count("    connection blocked") == 3, log
    assert statistic(log, "Blocked hosts") == 3, log


def scenario_network_allowance(args):
    """With NetworkBits=20 and NetworkFailures=20, 30 addresses of one /20 trying once each: 20
    are let in, 10 refused for their network; the next /20 is let in."""
    def body(port):
        greetings = [pop_greeting(port, f"127.1.{i % 16}.{i}") for i in range(1, 31)]
        assert [g.startswith("+OK") for g in greetings] == [True] * 20 + [False] * 10, greetings
        assert pop_greeting(port, "127.1.16.1").startswith("+OK")

    log = run_host(args, ini_text(general=["NetworkBits=20", "NetworkFailures=20"]), body)
    lines = [line.split("] ", 1)[-1] for line in log.splitlines()]
    assert lines[lines.index("   AuthFailures: 5") + 1] == "   Networks:     /20, 20 failures", log
    assert log.count("    connection blocked (network 127.1.0.0/20)") == 10, log
    assert statistic(log, "Blocked hosts") == 10, log


def scenario_list_files_reloaded(args):
    """BlackListFile (two files) and AllowListFile: an address of a black-list file is refused at
    its first connection, one outside the allow list too, one inside it is counted as usual; the
    files edited while the host runs are read again within a minute, and the new lists are in
    force: the address the black list let go is let in, and so is the one the allow list took in."""
    lists = tempfile.mkdtemp(prefix="tollgate-e2e-")
    paths = {name: os.path.join(lists, name) for name in ("drop.txt", "edrop.txt", "allow.txt")}

    def write(name, text):
        with open(paths[name], "w", newline="") as f:
            f.write(text)

    write("drop.txt", "; DROP\r\n127.0.0.32/28 ; SBL1\r\nbad line\r\n")
    write("edrop.txt", "10.9.0.0/16\n")
    write("allow.txt", "127.0.0.0/24\n")

    def body(port):
        assert pop_login(port, "127.0.0.33", "alice", "wonderland") == "refused: " + REFUSAL
        assert pop_greeting(port, "127.0.1.5") == REFUSAL
        assert pop_login(port, "127.0.0.50", "alice", "wrong").startswith("-ERR")
        write("drop.txt", "; DROP, edited\r\n127.0.0.64/28\r\n")
        write("allow.txt", "127.0.0.0/23\n")
        time.sleep(65)  # two sweeper passes of 30 s, and the reading
        assert pop_login(port, "127.0.0.33", "alice", "wonderland") == "ok"
        assert pop_login(port, "127.0.1.5", "alice", "wonderland") == "ok"
        assert pop_greeting(port, "127.0.0.65") == REFUSAL

    black = windows_path(paths["drop.txt"]) + " | " + windows_path(paths["edrop.txt"])
    ini = ini_text(general=[f"BlackListFile={black}",
                            f"AllowListFile={windows_path(paths['allow.txt'])}"])
    log = run_host(args, ini, body)
    lines = [line.split("] ", 1)[-1] for line in log.splitlines()]
    for line in (f"Tollgate: black list file '{windows_path(paths['drop.txt'])}': 1 ranges, "
                 "1 lines skipped (first at line 3)",
                 f"Tollgate: black list file '{windows_path(paths['edrop.txt'])}': 1 ranges, "
                 "0 lines skipped",
                 f"Tollgate: allow list file '{windows_path(paths['allow.txt'])}': 1 ranges, "
                 "0 lines skipped",
                 f"Tollgate: black list file '{windows_path(paths['drop.txt'])}' reloaded: 1 ranges, "
                 "0 lines skipped",
                 f"Tollgate: allow list file '{windows_path(paths['allow.txt'])}' reloaded: 1 ranges, "
                 "0 lines skipped"):
        assert line in lines, (line, log)
    assert lines.index("Daemon Tollgate started.") > lines.index(
        f"Tollgate: allow list file '{windows_path(paths['allow.txt'])}': 1 ranges, 0 lines skipped"), log
    assert log.count("    connection blocked (black list)") == 2, log
    assert log.count("    connection blocked (not on the allow list)") == 1, log
    assert statistic(log, "Blocked hosts") == 3, log
    assert statistic(log, "MaxListSize") == 2, log  # 127.0.0.50, and 127.0.0.33 until its login
def scenario_siege_serves_trusted_logins(args):
    """With TrustDays=1, SiegeFailures=5 and SiegeAuthFailures=0: a user who logged in before is
    served through a siege that five guessers, each from a network of its own, bring about; an
    address that never logged in is refused, even with the right password."""
    def body(port):
        assert pop_login(port, "127.0.0.2", "alice", "wonderland") == "ok"
        answers = [pop_login(port, f"127.1.{n}.1", "alice", "wrong") for n in range(6)]
        assert [a.startswith("refused") for a in answers] == [False] * 4 + [True] * 2, answers
        assert pop_login(port, "127.0.0.2", "alice", "wonderland") == "ok"
        assert pop_login(port, "127.0.0.3", "bob", "builder") == "refused: " + REFUSAL

    ini = ini_text(general=("TrustDays=1", "SiegeFailures=5", "SiegeAuthFailures=0"))
    log = run_host(args, ini, body)
    assert "   Trust:        1 day, /32, at most 65536 entries\n" in log, log
    assert "   Siege:        at 5 a minute, 0 failures\n" in log, log
    assert log.count("Tollgate: under siege: 5 connections without a login in the last minute; "
                     "untrusted addresses get 0") == 1, log
    assert log.count("    connection blocked (siege)") == 3, log
    assert statistic(log, "Blocked hosts") == 3, log


SCENARIOS = {
    "RefusedAfterAuthFailures": scenario_refused_after_auth_failures,
    "LoginRestartsCount": scenario_login_restarts_count,
    "WhiteListedNeverRefused": scenario_white_listed_never_refused,
    "ShortTermBlock": scenario_short_term_block,
    "FullTable": scenario_full_table,
    "BoundedConnectionsAndUsersFile": scenario_bounded_connections_and_users_file,
    "RefusalSurvivesRestart": scenario_refusal_survives_restart,
    "SilentConnectionsAreBounded": scenario_silent_connections_are_bounded,
    "BlackListedRefusedAtOnce": scenario_black_listed_refused_at_once,
    "RepeatOffender": scenario_repeat_offender,
    "NetworkAllowance": scenario_network_allowance,
    "ListFilesReloaded": scenario_list_files_reloaded,
    "SiegeServesTrustedLogins": scenario_siege_serves_trusted_logins,
}


def main(scenarios=SCENARIOS):
    """Runs the scenario the command line names, as WINE_EXEC HOST_EXE DLL SCENARIO."""
    if len(sys.argv) != 5 or sys.argv[4] not in scenarios:
        sys.exit(f"usage: {os.path.basename(sys.argv[0])} WINE_EXEC HOST_EXE DLL "
                 + "|".join(scenarios))
    scenarios[sys.argv[4]](tuple(sys.argv[1:4]))
    print("passed:", sys.argv[4])


if __name__ == "__main__":
    main()
