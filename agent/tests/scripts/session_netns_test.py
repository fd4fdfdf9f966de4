#!/usr/bin/python3
"""Whole sessions: the agent against the Python test backend and the Python test launcher,
directly and through the backend's control relay, inside a network namespace of its own with
only loopback up. Each way a session can end must reach the backend as the right
"session_ended" with a true duration; stray connections to the control port, direct or relayed,
before or during a session, cost it nothing; a set-up that fails and repeated orders start
nothing.

Env: VX_AGENT (agent binary), VX_PEERS (test peers folder).
"""

import base64
import hashlib
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from netns_agent import (PEERS, AgentProcess, RecordingPeer, assert_clean_uploads,
                         enter_namespace, launcher_outcome, start_launcher, wait_until)

sys.path.insert(0, PEERS)
from test_launcher import connect  # noqa: E402

AGENT = os.environ.get("VX_AGENT", "")
TOKEN = "launcher-secret-token"
WRONG_TOKEN = "not-the-launcher-token"
AGENT_TOKEN = "agent-token-of-this-pc"
TURN_PASS = "turn-pass-on-the-command-line"
MASTER = base64.b64encode(bytes(range(32))).decode()
CONTROL_PORT = 48001  # default port base 47998 + 3


def order(session_id, **extra):
    o = {"session_id": session_id, "max_duration_sec": 0,
         "session_token_sha256": hashlib.sha256(TOKEN.encode()).hexdigest(),
         "encryption_key": MASTER}
    o.update(extra)
    return o


class Backend(RecordingPeer):
    def __init__(self, tmp):
        super().__init__(tmp, "backend", "test_backend.py", port_files=("control", "relay"),
                         args=["--secret", TOKEN, "--secret", WRONG_TOKEN,
                               "--secret", TURN_PASS])
        self.control, self.relay = self.ports["control"], self.ports["relay"]

    def step(self, step):
        with socket.create_connection(("127.0.0.1", self.control), timeout=10) as s:
            s.sendall(json.dumps(step).encode() + b"\n")
            answer = s.makefile().readline().strip()
        if answer != "ok":
            raise RuntimeError(f"backend step {step}: {answer}")
        return time.time()

    def received(self, type_):
        return [json.loads(e["text"]) for e in self.events("recv", type_)]

    def relayed_text(self, session_id):
        """What the agent's control server wrote to the relayed connections of a session."""
        return "".join(base64.b64decode(m["data"]).decode("utf-8", "replace")
                       for m in self.received("control_data") if m["session_id"] == session_id)

    def errors(self, session_id):
        return [m for m in self.received("error") if m.get("session_id") == session_id]

    def session_upload(self, session_id):
        """The whole log upload of a session, once it has arrived (None before)."""
        found = [e for e in self.events("upload") if e["session_id"] == session_id]
        return found[0] if found else None


class Agent(AgentProcess):
    def __init__(self, tmp, args):
        env = dict(os.environ, LOCALAPPDATA=os.path.join(tmp, "state"))
        super().__init__([AGENT, "--verbose"] + args, os.path.join(tmp, "agent.out"), env)

    def count(self, needle):
        return self.text().count(needle)

    def stop(self):
        """SIGTERM; returns the exit code."""
        return super().stop()[0]


def auth_failed(code):
    return json.dumps({"code": code, "type": "auth_failed"}, separators=(",", ":"))


# What a stray connection to the control port sends first, and the refusal it must hear at once.
STRAYS = [
    ("not json", b"GET / HTTP/1.1\r\nHost: agent\r\n\r\n", "AUTH_FAIL"),
    ("not auth", b'{"type":"ping"}\n', "AUTH_FAIL"),
    ("wrong token", json.dumps({"type": "auth", "session_token": WRONG_TOKEN}).encode() + b"\n",
     "AUTH_REJECTED"),
    ("too long", b"a" * 16385 + b"\r\n", "AUTH_FAIL"),
]
# Strays that hold their connection open without a whole first line.
HOLDERS = [("silent", b""), ("half an auth line", b'{"type":"auth","session_token":"laun')]


def read_line(sock, limit=15):
    """The first line the agent sends on `sock`, without its newline ("<closed>" at its end)."""
    sock.settimeout(limit)
    data = b""
    while b"\n" not in data:
        try:
            chunk = sock.recv(4096)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            return "<closed>"
        data += chunk
    return data.split(b"\n", 1)[0].decode()


class Strays:
    """Stray connections to the control port (a port scanner, a browser, a device on the LAN),
    all made at once: each that sends a whole first line is refused on its own at once, and
    those that hold the connection open are refused once the launcher has the session."""

    def __init__(self, host, port):
        self.socks = {}
        try:
            for name, data in [(n, d) for n, d, _ in STRAYS] + HOLDERS:
                self.socks[name] = connect(host, port, 10)
                if data:
                    self.socks[name].sendall(data)
        except BaseException:
            self.close()
            raise

    def assert_refused(self, test):
        for name, _, code in STRAYS:
            test.assertEqual(read_line(self.socks[name]), auth_failed(code), name)

    def assert_shut_out(self, test):
        for name, _ in HOLDERS:
            test.assertEqual(read_line(self.socks[name]), auth_failed("AUTH_REJECTED"), name)

    def close(self):
        for s in self.socks.values():
            s.close()


def relayed_stray(backend, first):
    """A connection the backend relays to the agent's control port, sending `first` (nothing:
    it stays silent)."""
    backend.step({"send": {"type": "control_open"}})
    if first:
        backend.step({"send": {"type": "control_data",
                               "data": base64.b64encode(first).decode()}})


def strays_before_the_launcher(test, backend, session_id, host):
    """Strays reach the control port before the launcher: directly, all at once, and one relayed
    by the backend with a bad first line; each is refused on its own. Returns the direct ones,
    closed when the test ends."""
    strays = Strays(host, CONTROL_PORT)
    test.addCleanup(strays.close)
    relayed_stray(backend, b"\x16\x03\x01\x00\x05hello\n")  # a TLS record, no JSON
    strays.assert_refused(test)
    test.assertTrue(wait_until(lambda: auth_failed("AUTH_FAIL") in
                               backend.relayed_text(session_id), 10))
    return strays


def launcher(port, *args):
    return start_launcher(port, TOKEN, MASTER, *args)


outcome = launcher_outcome


class Sessions(unittest.TestCase):
    """One agent serves a row of sessions, each ended another way."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vx-session-")
        cls.backend = cls.agent = None
        try:
            cls.backend = Backend(cls.tmp)
            cls.agent = Agent(cls.tmp, ["--saas-host", "127.0.0.1", "--saas-port",
                                        str(cls.backend.port), "--agent-token", AGENT_TOKEN,
                                        "--server-id", "x" * 36, "--client-idle-timeout", "2",
                                        "--turn-user", "alice", "--turn-pass", TURN_PASS])
            if not wait_until(lambda: cls.backend.events("recv", "register"), 10):
                raise RuntimeError("agent did not register:\n" + cls.agent.text())
        except BaseException:
            cls.tearDownClass()  # a backend left running would keep the test process alive
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.agent:
            if os.environ.get("VX_SHOW_AGENT_LOG"):
                print(cls.agent.text(), file=sys.stderr)
            if cls.agent.proc.poll() is None:
                cls.agent.proc.kill()
                cls.agent.proc.wait()
        if cls.backend:
            cls.backend.stop()
        subprocess.run(["rm", "-rf", cls.tmp])

    def start(self, session_id, **extra):
        """Orders a session and waits until the agent listens for its launcher."""
        waiting = self.agent.count("Waiting for launcher connection on TCP port 48001...")
        t = self.backend.step({"prepare_session": order(session_id, **extra)})
        self.assertTrue(wait_until(lambda: self.agent.count(
            "Waiting for launcher connection on TCP port 48001...") > waiting, 10), self.agent.text())
        return t

    def ended(self, session_id, started, reason):
        got = []
        self.assertTrue(wait_until(lambda: [m for m in self.backend.received("session_ended")
                                            if m["session_id"] == session_id], 15),
                        self.agent.text())
        e = [x for x in self.backend.events("recv", "session_ended")
             if json.loads(x["text"])["session_id"] == session_id][0]
        msg = json.loads(e["text"])
        self.assertEqual(msg["reason"], reason)
        self.assertLessEqual(abs(msg["duration_sec"] - (e["t"] - started)), 1.0, (msg, e["t"] - started))
        return got

    def ready(self, session_id):
        return [m for m in self.backend.received("session_ready") if m["session_id"] == session_id]

    def test_1_direct_session_ended_by_the_launcher(self):
        t = self.start("direct-1")
        result, rc = outcome(launcher(CONTROL_PORT, "--pings", "3", "--stats", "2", "--then", "end"))
        self.assertEqual(rc, 0, result)
        self.assertTrue(result["keys_match"] and result["closed_by_agent"], result)
        self.ended("direct-1", t, "pipeline_ended")
        ready = self.ready("direct-1")[0]
        self.assertEqual(ready["ports"], {"video": 47998, "audio": 47999, "input": 48000})
        self.assertIn("Session established \u2014 keys ready", self.agent.text())
        self.assertIn("Launcher requested end_session", self.agent.text())
        # The session's log follows its end, with the lines of the session in it.
        self.assertTrue(wait_until(lambda: self.backend.session_upload("direct-1"), 10))
        upload = self.backend.session_upload("direct-1")
        self.assertEqual(upload["kind"], "session")
        self.assertEqual(upload["summary"], "session direct-1 ended: pipeline_ended")
        self.assertIn("Launcher requested end_session", upload["content"])
        recv = self.backend.events("recv")
        ended = [i for i, e in enumerate(recv) if e["type"] == "session_ended"
                 and json.loads(e["text"])["session_id"] == "direct-1"]
        parts = [i for i, e in enumerate(recv) if e["type"] == "diagnostic_log_part"
                 and json.loads(e["text"])["upload_id"] == upload["upload_id"]]
        self.assertLess(ended[0], parts[0])

    def test_2_relayed_session(self):
        # Strays come first, directly and relayed; the relayed launcher still gets the session.
        t = self.start("relay-1")
        strays = strays_before_the_launcher(self, self.backend, "relay-1", "127.0.0.1")
        result, rc = outcome(launcher(self.backend.relay, "--pings", "3", "--then", "end"))
        self.assertEqual(rc, 0, result)
        strays.assert_shut_out(self)
        self.ended("relay-1", t, "pipeline_ended")
        self.assertEqual(self.backend.errors("relay-1"), [])
        self.assertTrue(self.ready("relay-1"))
        relayed = [m for m in self.backend.received("control_data") if m["session_id"] == "relay-1"]
        self.assertTrue(relayed)
        self.assertIn("ControlBridge: relaying to 127.0.0.1:48001", self.agent.text())

    def test_3_silent_launcher_is_lost(self):
        t = self.start("silent-1")
        result, rc = outcome(launcher(CONTROL_PORT, "--pings", "1", "--then", "silent",
                                      "--hold-limit", "10"))
        self.assertEqual(rc, 0, result)
        self.assertTrue(result["closed_by_agent"], result)
        self.ended("silent-1", t, "client_lost")

    def test_4_dropped_launcher(self):
        t = self.start("drop-1")
        result, rc = outcome(launcher(CONTROL_PORT, "--pings", "1", "--then", "close"))
        self.assertEqual(rc, 0, result)
        self.ended("drop-1", t, "pipeline_ended")
        self.assertIn("Launcher disconnected \u2014 ending session", self.agent.text())

    def test_5_max_duration(self):
        t = self.start("max-1", max_duration_sec=2)
        result, rc = outcome(launcher(CONTROL_PORT, "--pings", "1", "--then", "hold"))
        self.assertTrue(result["closed_by_agent"], result)
        self.ended("max-1", t, "pipeline_ended")
        self.assertIn("Session reached max_duration_sec=2 - ending", self.agent.text())

    def test_6_backend_terminates(self):
        t = self.start("term-1")
        proc = launcher(CONTROL_PORT, "--pings", "1", "--then", "hold")
        self.assertTrue(wait_until(lambda: self.ready("term-1"), 10))
        candidate = {"send": {"type": "client_candidate", "session_id": "term-1",
                              "candidate": {"ip": "8.8.8.8", "port": 5000}}}
        self.backend.step(candidate)
        self.backend.step({"terminate_session": "term-1"})
        self.backend.step(candidate)  # arrives while the session tears down: must be harmless
        result, rc = outcome(proc)
        self.assertTrue(result["closed_by_agent"], result)
        self.ended("term-1", t, "pipeline_ended")
        self.assertIn("client_candidate: relaying media to 8.8.8.8:5000", self.agent.text())

    def test_7_strays_do_not_cost_the_session(self):
        t = self.start("stray-1")
        strays = strays_before_the_launcher(self, self.backend, "stray-1", "127.0.0.1")
        relayed_stray(self.backend, b"")  # a relayed connection that stays silent
        proc = launcher(CONTROL_PORT, "--pings", "1", "--then", "hold")
        self.assertTrue(wait_until(lambda: self.ready("stray-1"), 10), self.agent.text())
        strays.assert_shut_out(self)
        self.assertTrue(wait_until(lambda: auth_failed("AUTH_REJECTED") in
                                   self.backend.relayed_text("stray-1"), 10), self.agent.text())
        # A connection while the session runs is refused and changes nothing.
        with connect("127.0.0.1", CONTROL_PORT, 10) as late:
            self.assertEqual(read_line(late), auth_failed("AUTH_REJECTED"))
        self.assertIsNone(proc.poll())
        self.backend.step({"terminate_session": "stray-1"})
        result, rc = outcome(proc)
        self.assertEqual(rc, 0, result)
        self.assertTrue(result["keys_match"] and result["closed_by_agent"], result)
        self.ended("stray-1", t, "pipeline_ended")
        self.assertEqual(self.backend.errors("stray-1"), [])
        session = self.agent.text().split("Session stray-1: ", 1)[1]
        # One warning for each refused connection, and no failure.
        self.assertEqual(session.count("] TcpControlServer: handshake from 127.0.0.1:"),
                         len(STRAYS) + len(HOLDERS) + 3, session)
        self.assertNotIn("set-up failed", session)

    def test_7a_no_keys_fails_the_set_up(self):
        # The right token, but the order carried no key to derive the launcher's keys from.
        self.start("nokey-1", encryption_key="")
        result, rc = outcome(launcher(CONTROL_PORT, "--pings", "0"))
        self.assertEqual(result["auth"], "SESSION_ABORTED")
        self.assertTrue(wait_until(lambda: self.backend.errors("nokey-1"), 10))
        self.assertEqual(self.backend.errors("nokey-1")[0]["code"], "SESSION_ABORTED")
        self.assertFalse(self.ready("nokey-1"))
        self.assertFalse([m for m in self.backend.received("session_ended")
                          if m["session_id"] == "nokey-1"])
        # A failed set-up has no session_ended: its log goes up with the failed stage and why.
        self.assertTrue(wait_until(lambda: self.backend.session_upload("nokey-1"), 10))
        upload = self.backend.session_upload("nokey-1")
        self.assertRegex(upload["summary"], r"^session nokey-1 ended: handshake_failed: launcher "
                                            r"handshake from 127\.0\.0\.1:\d+ refused "
                                            r"\(SESSION_ABORTED\)$")
        self.assertIn("# session nokey-1 ended: handshake_failed: ", upload["content"])

    def test_8_repeated_order_starts_nothing(self):
        waiting = self.agent.count("Waiting for launcher connection")
        self.backend.step({"prepare_session": order("direct-1")})
        self.assertTrue(wait_until(lambda: "prepare_session direct-1 ignored" in self.agent.text(), 10))
        time.sleep(0.3)
        self.assertEqual(self.agent.count("Waiting for launcher connection"), waiting)

    def test_8_uploads_are_whole_and_hold_no_secret(self):
        # The first agent report comes once the link has been up 5 s.
        self.assertTrue(wait_until(lambda: [e for e in self.backend.events("upload")
                                            if e["kind"] == "agent"], 10))
        report = [e for e in self.backend.events("upload") if e["kind"] == "agent"][0]
        connected = self.backend.events("connect")[0]["t"]
        self.assertGreaterEqual(report["part_t"][0] - connected, 4.9)
        self.assertEqual(report["summary"].split(" ")[0], "agent")
        # Every upload is confirmed, so none is sent twice on this one connection.
        self.assertTrue(all(e["copy"] == 1 for e in self.backend.events("upload")))
        assert_clean_uploads(self, self.backend, at_least=3)

    def test_9_sigterm_mid_session(self):
        t = self.start("stop-1")
        proc = launcher(CONTROL_PORT, "--pings", "1", "--then", "hold")
        self.assertTrue(wait_until(lambda: self.ready("stop-1"), 10))
        rc = self.agent.stop()
        self.assertEqual(rc, 0, self.agent.text())
        result, _ = outcome(proc)
        self.assertTrue(result["closed_by_agent"], result)
        text = self.agent.text()
        self.assertIn("Session ending \u2014 cleaning up...", text)
        self.assertIn("Agent stopped cleanly", text)
        # The agent is gone, so no reconnect can replay it: the end left before the agent did.
        self.ended("stop-1", t, "pipeline_ended")


class Standalone(unittest.TestCase):
    def refused_session(self, args):
        """A standalone agent with `args` meets one launcher, which it must refuse; returns the
        agent's exit code and console text."""
        tmp = tempfile.mkdtemp(prefix="vx-standalone-")
        env = dict(os.environ, LOCALAPPDATA=os.path.join(tmp, "state"), VX_LANG="en")
        env.pop("VX_CONSOLE_LOG", None)
        agent = AgentProcess([AGENT] + args, os.path.join(tmp, "agent.out"), env)
        try:
            # The launcher tries again until the agent listens.
            result, _ = outcome(launcher(CONTROL_PORT, "--pings", "0"))
            self.assertEqual(result["auth"], "AUTH_REJECTED")
            return agent.proc.wait(10), agent.text()
        finally:
            if agent.proc.poll() is None:
                agent.proc.kill()
            agent.log.close()
            subprocess.run(["rm", "-rf", tmp])

    # The one session is all a standalone agent is for: its failure is the agent's (exit code 1).
    def test_one_refused_session_then_the_agent_fails(self):
        rc, text = self.refused_session(["--verbose"])
        self.assertEqual(rc, 1, text)
        self.assertIn("TcpControlServer: SECURITY \u2014 no expected session_token_sha256 "
                      "configured (backend did not deliver one); refusing handshake instead of "
                      "accepting an unverified token", text)
        self.assertIn("refused (AUTH_REJECTED)", text)
        self.assertIn("Standalone: the session failed - the agent stops (exit code 1)", text)
        self.assertNotIn("Agent stopped cleanly", text)

    def test_the_status_screen_tells_why_after_it_ends(self):
        rc, text = self.refused_session([])
        self.assertEqual(rc, 1, text)
        self.assertIn("] Session failed to start\n", text)
        self.assertIn("] Agent stopped after an error\n", text)
        self.assertNotIn("PC rented", text)  # nobody rents a standalone PC
        self.assertRegex(text, r"Velmora agent stopped.\nvelmora-agent: the standalone session "
                               r"failed: launcher handshake from 127\.0\.0\.1:\d+ refused "
                               r"\(AUTH_REJECTED\)\n$")


if __name__ == "__main__":
    if not AGENT or not os.path.exists(AGENT):
        print("VX_AGENT not set or missing - skipping")
        sys.exit(0)
    enter_namespace("VX_SESSION_NETNS")
    unittest.main(verbosity=2)
