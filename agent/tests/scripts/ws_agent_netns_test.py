#!/usr/bin/python3
"""The whole agent against the Python test backend over the WebSocket, inside a network
namespace of its own with only loopback up (the agent may probe routers and STUN servers at
start; nothing of that may leave the sandbox).

Env: VX_AGENT (agent binary), VX_PEERS (test peers folder).
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from netns_agent import AgentProcess, RecordingPeer, enter_namespace, wait_until

AGENT = os.environ.get("VX_AGENT", "")


class Backend(RecordingPeer):
    def __init__(self, tmp, script=None, args=()):
        super().__init__(tmp, "backend", "test_backend.py", args, script)


class Agent(AgentProcess):
    def __init__(self, tmp, port, host="127.0.0.1", token="tok", env=None, binary=AGENT,
                 log_name="agent.out"):
        e = dict(os.environ, LOCALAPPDATA=os.path.join(tmp, "state"))
        e.update(env or {})
        super().__init__(
            [binary, "--verbose", "--saas-host", host, "--saas-port", str(port),
             "--agent-token", token, "--server-id", "x" * 36],
            os.path.join(tmp, log_name), e)


class AgentOverWebSocket(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vx-ws-")
        self.backend = None
        self.agent = None
        self.sandbox = None

    def tearDown(self):
        if self.agent and self.agent.proc.poll() is None:
            self.agent.proc.kill()
            self.agent.proc.wait()
        if self.backend:
            self.backend.stop()
        subprocess.run(["rm", "-rf", self.tmp])
        if self.sandbox:
            subprocess.run(["rm", "-rf", self.sandbox])

    def test_registers_serves_orders_and_stops_cleanly(self):
        self.backend = Backend(self.tmp, {"1": [
            {"wait": "register"}, {"ping": 77}, {"observed_ip": "8.8.8.8"},
            {"prepare_session": {"session_id": "order-1", "max_duration_sec": 1}},
            {"wait": "session_ended"},
            {"terminate_session": "elsewhere"}]})
        self.agent = Agent(self.tmp, self.backend.port)
        self.assertTrue(wait_until(lambda: self.backend.events("recv", "session_ended"), 10),
                        self.agent.text())
        recv = self.backend.events("recv")
        self.assertEqual(recv[0]["type"], "register")
        reg = json.loads(recv[0]["text"])
        self.assertEqual(reg["features"], ["prepare_redelivery"])
        self.assertTrue(all(e["canonical"] for e in recv), recv)
        self.assertIn('{"type":"pong","ts":77}', [e["text"] for e in recv])
        ended = json.loads(self.backend.events("recv", "session_ended")[0]["text"])
        self.assertEqual(ended["session_id"], "order-1")
        # The first heartbeat follows the connection by the 5 s period.
        self.assertTrue(wait_until(lambda: self.backend.events("recv", "heartbeat"), 8),
                        self.agent.text())
        beat = self.backend.events("recv", "heartbeat")[0]["t"]
        connected = self.backend.events("connect")[0]["t"]
        self.assertGreaterEqual(beat - connected, 4.5)
        self.assertLess(beat - connected, 7.0)
        self.assertTrue(wait_until(lambda: "not running on this PC" in self.agent.text(), 5))
        rc, took = self.agent.stop()
        text = self.agent.text()
        self.assertEqual(rc, 0, text)
        self.assertLess(took, 3.0)
        self.assertIn("SaaS connector started - waiting for prepare_session...", text)
        self.assertIn("Session ended - waiting for next prepare_session...", text)
        self.assertIn("Agent stopped cleanly", text)

    def test_replaced_agent_waits_thirty_seconds(self):
        self.backend = Backend(self.tmp, {"1": [{"wait": "register"},
                                                {"close": 4009, "reason": "replaced"}]})
        self.agent = Agent(self.tmp, self.backend.port)
        self.assertTrue(wait_until(lambda: "retry in 30000ms" in self.agent.text(), 8),
                        self.agent.text())
        self.assertIn("another agent with the same server token connected (replaced)",
                      self.agent.text())
        time.sleep(2)
        self.assertEqual(len(self.backend.events("connect")), 1)
        rc, took = self.agent.stop()
        self.assertEqual(rc, 0)
        self.assertLess(took, 2.0)

    def test_black_holed_backend_does_not_delay_the_stop(self):
        # A listener with a full accept queue drops every further SYN.
        hole = socket.socket()
        hole.bind(("127.0.0.1", 0))
        hole.listen(0)
        fillers = []
        for _ in range(2):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(hole.getsockname())
            fillers.append(s)
        self.agent = Agent(self.tmp, hole.getsockname()[1])
        self.assertTrue(wait_until(lambda: "connecting to 127.0.0.1" in self.agent.text(), 5))
        time.sleep(1.0)
        rc, took = self.agent.stop()
        self.assertEqual(rc, 0, self.agent.text())
        self.assertLess(took, 1.5)
        for s in fillers:
            s.close()
        hole.close()

    def test_tls_on_port_443(self):
        ca = self.make_certificates()
        self.backend = Backend(self.tmp, {"*": [{"wait": "register"}]},
                               ["--port", "443", "--tls-cert", self.path("srv.pem"),
                                "--tls-key", self.path("srv.key")])
        self.agent = Agent(self.tmp, 443, host="localhost", env={"SSL_CERT_FILE": ca})
        self.assertTrue(wait_until(lambda: self.backend.events("recv", "register"), 8),
                        self.agent.text())
        self.assertIn("TLS established (localhost)", self.agent.text())
        rc, _ = self.agent.stop()
        self.assertEqual(rc, 0)

    def test_cacert_beside_the_executable(self):
        # The agent's own copy of the binary in a folder beside the build (a hard link needs
        # the same file system), so its cacert.pem is this test's alone.
        ca = self.make_certificates()
        self.sandbox = tempfile.mkdtemp(prefix="ws-cacert-", dir=os.path.dirname(AGENT))
        binary = os.path.join(self.sandbox, "velmora-agent")
        try:
            os.link(AGENT, binary)
        except OSError:
            shutil.copy2(AGENT, binary)
        cacert = os.path.join(self.sandbox, "cacert.pem")
        shutil.copyfile(ca, cacert)
        self.backend = Backend(self.tmp, {"*": [{"wait": "register"}]},
                               ["--port", "443", "--tls-cert", self.path("srv.pem"),
                                "--tls-key", self.path("srv.key")])
        # Only the file beside the executable can vouch for the test CA.
        no_defaults = {"SSL_CERT_FILE": self.path("none.pem"), "SSL_CERT_DIR": self.tmp}
        self.agent = Agent(self.tmp, 443, host="localhost", env=no_defaults, binary=binary)
        self.assertTrue(wait_until(lambda: self.backend.events("recv", "register"), 8),
                        self.agent.text())
        rc, _ = self.agent.stop()
        self.assertEqual(rc, 0)
        self.assertNotIn("cacert.pem not found", self.agent.text())
        self.assertNotIn("cannot load", self.agent.text())

        # A damaged file is reported by its path; the agent runs on and stops cleanly.
        with open(cacert, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n")
        self.agent = Agent(self.tmp, 443, host="localhost", env=no_defaults, binary=binary,
                           log_name="agent2.out")
        self.assertTrue(wait_until(lambda: "TLS handshake failed" in self.agent.text(), 8),
                        self.agent.text())
        text = self.agent.text()
        self.assertIn("SaasConnector: cannot load %s: " % cacert, text)
        self.assertNotIn("TLS established", text)
        rc, took = self.agent.stop()
        self.assertEqual(rc, 0, self.agent.text())
        self.assertLess(took, 2.0)
        self.assertEqual(len(self.backend.events("recv", "register")), 1)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def make_certificates(self):
        def run(*args):
            subprocess.run(["openssl"] + list(args), cwd=self.tmp, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=vx-test-ca", "-keyout", "ca.key", "-out", "ca.pem",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign")
        run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
            "-keyout", "srv.key", "-out", "srv.csr")
        with open(self.path("ext.cnf"), "w") as f:
            f.write("subjectAltName=DNS:localhost\n")
        run("x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "ext.cnf", "-out", "srv.pem")
        return self.path("ca.pem")


if __name__ == "__main__":
    if not AGENT or not os.access(AGENT, os.X_OK):
        print("SKIP: VX_AGENT is not set to the agent binary")
        sys.exit(0)
    enter_namespace("VX_WS_NETNS")
    unittest.main(verbosity=2)
