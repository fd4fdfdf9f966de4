#!/usr/bin/python3
"""The session's TURN relay, whole agent: a coturn server started by the test inside the agent's
own network namespace, the Python test backend and the Python test launcher. A session whose
credentials work announces a relay candidate ("ice_candidate", kind "relay") to the backend;
broken credentials leave a direct-only session that still runs and ends normally. The backend's
relay list is measured with STUN against the same coturn ("relay_rtts").

The agent gets --turn-url/--turn-user/--turn-pass for coturn; an order's "turn" block takes
precedence over them. The launcher connects from a non-loopback address of the namespace, so
the agent creates the relay permission for it.

Env: VX_AGENT (agent binary), VX_PEERS (test peers folder).
"""

import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netns_agent import assert_clean_uploads  # noqa: E402
from session_netns_test import (AGENT, CONTROL_PORT, Agent, Backend, launcher,  # noqa: E402
                                order, outcome, strays_before_the_launcher, wait_until)

TURNSERVER = "/usr/bin/turnserver"
TURN_PORT = 3478
RELAY_PORTS = (49160, 49200)
LAUNCHER_ADDRESS = "10.203.0.1"  # on lo: the launcher's connection comes from here
USER, PASSWORD, REALM = "vxuser", "vxpass", "vx.test"
URL_PASSWORD = "pass-in-the-url"  # written into a TURN URL of an order, never to be uploaded


def enter_namespace():
    if os.environ.get("VX_RELAY_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run(["ip", "addr", "add", LAUNCHER_ADDRESS + "/32", "dev", "lo"], check=True)
        return
    env = dict(os.environ, VX_RELAY_NETNS="1")
    os.execvpe("unshare", ["unshare", "-n", "--", sys.executable, os.path.abspath(__file__)]
               + sys.argv[1:], env)


def stun_answers(port):
    request = struct.pack("!HHI12s", 1, 0, 0x2112A442, os.urandom(12))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.1)
        s.sendto(request, ("127.0.0.1", port))
        try:
            answer, _ = s.recvfrom(1500)
        except OSError:
            return False
    return answer[8:20] == request[8:20]


class Coturn:
    def __init__(self, tmp):
        self.log_path = os.path.join(tmp, "turn.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(
            [TURNSERVER, "-n", "--listening-ip=127.0.0.1", "--relay-ip=127.0.0.1",
             f"--listening-port={TURN_PORT}", "--lt-cred-mech", f"--user={USER}:{PASSWORD}",
             f"--realm={REALM}", "--no-tls", "--no-dtls", "--no-cli",
             f"--min-port={RELAY_PORTS[0]}", f"--max-port={RELAY_PORTS[1]}",
             f"--userdb={os.path.join(tmp, 'turndb')}", "-m", "1", "--log-file=stdout",
             "--simple-log", f"--pidfile={os.path.join(tmp, 'turn.pid')}"],
            stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        if not wait_until(lambda: self.proc.poll() is None and stun_answers(TURN_PORT), 10):
            self.stop()
            raise RuntimeError("coturn did not start:\n" + self.text())

    def text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def turn_block(password, urls=None):
    return {"iceServers": [{"urls": urls or ["stun:127.0.0.1:3478",
                                             f"turn:127.0.0.1:{TURN_PORT}?transport=udp"],
                            "username": USER, "credential": password}]}


class RelayedSessions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vx-relay-")
        cls.coturn = cls.backend = cls.agent = None
        try:
            cls.coturn = Coturn(cls.tmp)
            cls.backend = Backend(cls.tmp)
            cls.agent = Agent(cls.tmp, [
                "--saas-host", "127.0.0.1", "--saas-port", str(cls.backend.port),
                "--agent-token", "tok", "--server-id", "x" * 36, "--client-idle-timeout", "2",
                "--turn-url", f"turn:127.0.0.1:{TURN_PORT}", "--turn-user", USER,
                "--turn-pass", PASSWORD])
            if not wait_until(lambda: cls.backend.events("recv", "register")
                              or cls.agent.proc.poll() is not None, 10) \
                    or cls.agent.proc.poll() is not None:
                raise RuntimeError("agent did not register:\n" + cls.agent.text())
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.agent:
            if os.environ.get("VX_SHOW_AGENT_LOG"):
                print(cls.agent.text(), file=sys.stderr)
            if cls.agent.proc.poll() is None:
                cls.agent.stop()
        if cls.backend:
            cls.backend.stop()
        if cls.coturn:
            cls.coturn.stop()
        subprocess.run(["rm", "-rf", cls.tmp])

    def run_session(self, session_id, strays=False, **extra):
        """One session; with `strays`, stray connections from the launcher's network and one
        relayed by the backend come first."""
        waiting = self.agent.count("Waiting for launcher connection on TCP port 48001...")
        self.backend.step({"prepare_session": order(session_id, **extra)})
        self.assertTrue(wait_until(lambda: self.agent.count(
            "Waiting for launcher connection on TCP port 48001...") > waiting, 10), self.agent.text())
        connections = None
        if strays:
            connections = strays_before_the_launcher(self, self.backend, session_id,
                                                     LAUNCHER_ADDRESS)
        result, rc = outcome(launcher(CONTROL_PORT, "--host", LAUNCHER_ADDRESS, "--pings", "2",
                                      "--then", "end"))
        self.assertEqual(rc, 0, result)
        if connections:
            connections.assert_shut_out(self)
        self.assertTrue(wait_until(lambda: [m for m in self.backend.received("session_ended")
                                            if m["session_id"] == session_id], 10),
                        self.agent.text())
        # The agent logs the end just after it reports it: its line may not be written yet.
        self.assertTrue(wait_until(lambda: f"Session {session_id} ended" in self.agent.text(), 10),
                        self.agent.text())
        ended = [m for m in self.backend.received("session_ended")
                 if m["session_id"] == session_id][0]
        self.assertEqual(ended["reason"], "pipeline_ended")
        self.assertEqual(self.backend.errors(session_id), [])
        return [m["candidate"] for m in self.backend.received("ice_candidate")
                if m["session_id"] == session_id]

    def assert_relay_candidate(self, candidates, session_id):
        relays = [c for c in candidates if c.get("kind") == "relay"]
        self.assertEqual(len(relays), 1, (candidates, self.agent.text()))
        self.assertEqual(relays[0]["ip"], "127.0.0.1")
        self.assertTrue(RELAY_PORTS[0] <= relays[0]["port"] <= RELAY_PORTS[1], relays[0])
        self.assertIn(f"TURN: session {session_id} relay candidate 127.0.0.1:{relays[0]['port']} "
                      f"(permission for {LAUNCHER_ADDRESS})", self.agent.text())

    def test_1_order_block_gives_a_relay_candidate(self):
        candidates = self.run_session("turn-1", strays=True, turn=turn_block(PASSWORD))
        self.assert_relay_candidate(candidates, "turn-1")
        text = self.agent.text()
        # Released at teardown, after input and before the session's end is reported.
        released = text.rfind("TURN: relay released")
        self.assertGreater(released, text.rfind("Session ending \u2014 cleaning up..."))
        self.assertLess(released, text.rfind("Session turn-1 ended"))

    def test_2_command_line_credentials_when_the_order_has_none(self):
        candidates = self.run_session("turn-2")
        self.assert_relay_candidate(candidates, "turn-2")

    def test_3_order_block_as_a_string_takes_precedence(self):
        # A wrong password in the order: the command line's working one is not used instead.
        candidates = self.run_session("turn-3", turn=json.dumps(turn_block("wrong")))
        self.assertEqual([c for c in candidates if c.get("kind") == "relay"], [])
        self.assertIn("TURN: authentication rejected (401 Unauthorized); check the TURN "
                      "username/password/realm - session turn-3 goes on without a relay "
                      "(direct path only)", self.agent.text())

    def test_4_unusable_block_leaves_a_direct_session(self):
        # A user name and password written into the URL are not repeated in the agent's texts.
        cases = [
            ("turn-4", "turns:127.0.0.1:5349?transport=tcp",
             "TURN: turns: (TLS) URLs are not supported; need turn:HOST:PORT?transport=udp - "
             "session turn-4 goes on without a relay"),
            ("turn-4-url-port", f"turn:{USER}:{URL_PASSWORD}@127.0.0.1",
             "TURN: invalid port in server URL 'turn:[REDACTED]@127.0.0.1' - "
             "session turn-4-url-port goes on without a relay"),
            ("turn-4-url-host", f"turn:{USER}:{URL_PASSWORD}@127.0.0.1:{TURN_PORT}",
             f"TURN: cannot resolve '[REDACTED]@127.0.0.1:{TURN_PORT}': "),
        ]
        for session_id, url, text in cases:
            with self.subTest(session_id):
                candidates = self.run_session(session_id, turn=turn_block(PASSWORD, [url]))
                self.assertEqual(candidates, [])
                self.assertIn(text, self.agent.text())

    def test_5_silent_turn_server_leaves_a_direct_session(self):
        # Nothing answers there: three attempts of 1.5 s, then the session goes on without.
        silent = TURN_PORT + 9
        candidates = self.run_session("turn-5", turn={
            "urls": f"turn:127.0.0.1:{silent}", "username": USER, "password": PASSWORD})
        self.assertEqual(candidates, [])
        self.assertIn(f"TURN: no response from 127.0.0.1:{silent} for method 0x003 after 3 "
                      "attempt(s) - session turn-5 goes on without a relay", self.agent.text())

    def test_6_relay_list_is_measured_with_stun(self):
        # coturn answers the STUN Binding; nothing listens on the other node's port.
        self.backend.step({"send": {"type": "relay_list", "relays": [
            {"id": "live", "host": "127.0.0.1", "port": TURN_PORT},
            {"id": "silent", "host": "127.0.0.1", "port": TURN_PORT + 7}]}})
        self.assertTrue(wait_until(lambda: self.backend.received("relay_rtts"), 10),
                        self.agent.text())
        rtts = self.backend.received("relay_rtts")[-1]["rtts"]
        self.assertEqual(list(rtts), ["live"], rtts)
        self.assertGreaterEqual(rtts["live"], 0)

    def test_7_no_upload_holds_a_turn_password(self):
        # The TURN password reached the agent in orders (as an object, as a string and inside
        # URLs) and on its command line; the sessions' logs mention TURN throughout.
        sessions = {f"turn-{i}" for i in range(1, 6)} | {"turn-4-url-port", "turn-4-url-host"}
        self.assertTrue(wait_until(lambda: {e["session_id"] for e in self.backend.events("upload")}
                                   >= sessions, 15), self.agent.text())
        assert_clean_uploads(self, self.backend, at_least=len(sessions))


if __name__ == "__main__":
    if not AGENT or not os.path.exists(AGENT):
        print("VX_AGENT not set or missing - skipping")
        sys.exit(0)
    if not os.access(TURNSERVER, os.X_OK):
        print("coturn (/usr/bin/turnserver) is not installed - skipping")
        sys.exit(0)
    enter_namespace()
    unittest.main(verbosity=2)
