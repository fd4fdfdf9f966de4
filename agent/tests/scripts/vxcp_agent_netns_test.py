#!/usr/bin/python3
"""The whole agent over the VXCP/1 UDP control channel against the Python VXCP/1 server,
inside a network namespace of its own with only loopback up.

Env: VX_AGENT (agent binary), VX_PEERS (test peers folder).
"""

import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest

from netns_agent import (AgentProcess, RecordingPeer, assert_clean_uploads, enter_namespace,
                         launcher_outcome, start_launcher, wait_until)

AGENT = os.environ.get("VX_AGENT", "")
SERVER_ID = "00000000-0000-4000-8000-0000000000cc"
TOKEN = "netns-agent-token"


class VxcpServer(RecordingPeer):
    def __init__(self, tmp, script, args=()):
        super().__init__(tmp, "vxcp", "vxcp_server.py",
                         ["--server-id", SERVER_ID, "--agent-token", TOKEN] + list(args), script)


class Agent(AgentProcess):
    def __init__(self, tmp, udp_port, ws_port=9):
        env = dict(os.environ, LOCALAPPDATA=os.path.join(tmp, "state"))
        super().__init__(
            [AGENT, "--verbose", "--saas-host", "127.0.0.1", "--saas-port", str(ws_port),
             "--agent-token", TOKEN, "--server-id", SERVER_ID,
             "--control-udp", f"127.0.0.1:{udp_port}"],
            os.path.join(tmp, "agent.out"), env)


class AgentOverVxcp(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vx-vxcp-")
        self.server = None
        self.agent = None

    def tearDown(self):
        if self.agent and self.agent.proc.poll() is None:
            self.agent.proc.kill()
            self.agent.proc.wait()
        if self.server:
            self.server.stop()
        subprocess.run(["rm", "-rf", self.tmp])

    def test_serves_orders_over_udp_and_stops_cleanly(self):
        prepare = {"type": "prepare_session", "session_id": "udp-order-1",
                   "client_id": "client-1", "max_duration_sec": 1,
                   "session_token_sha256": "0" * 64,
                   "encryption_key": "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=",
                   "constraints": {"codec": "h264", "resolution": "1920x1080", "max_fps": 60,
                                   "bitrate_kbps": 15000}}
        self.server = VxcpServer(self.tmp, {"1": [
            {"wait": "register"}, {"ping": 77}, {"send": prepare},
            {"wait": "session_ended"}]})
        self.agent = Agent(self.tmp, self.server.port)
        self.assertTrue(wait_until(lambda: self.server.events("recv", "session_ended"), 15),
                        self.agent.text())
        recv = self.server.events("recv")
        self.assertEqual(recv[0]["type"], "register")
        self.assertTrue(all(e["canonical"] for e in recv), recv)
        self.assertIn('{"type":"pong","ts":77}', [e["text"] for e in recv])
        self.assertEqual(self.server.events("violation"), [])
        text = self.agent.text()
        # Start-up tells the order of the transports before the first attempt.
        choice = text.find("Control channel: UDP 127.0.0.1:%d first (VXCP/1), WebSocket "
                           "127.0.0.1:9 as the fallback" % self.server.port)
        self.assertGreaterEqual(choice, 0, text)
        self.assertLess(choice, text.find("connecting over UDP"), text)
        self.assertIn("control channel connected over UDP to 127.0.0.1:%d (direct)"
                      % self.server.port, text)
        # The session's log comes over the channel too, and the backend confirms it.
        self.assertTrue(wait_until(lambda: self.server.events("log_stored"), 10), text)
        upload = self.server.events("upload")[0]
        self.assertEqual((upload["kind"], upload["session_id"]), ("session", "udp-order-1"))
        self.assertTrue(wait_until(lambda: "Diagnostics: log upload %s stored by the backend"
                                   % upload["upload_id"] in self.agent.text(), 5))
        assert_clean_uploads(self, self.server)
        rc, took = self.agent.stop()
        self.assertEqual(rc, 0, self.agent.text())
        self.assertLess(took, 3.0)
        closes = self.server.events("agent_close")
        self.assertTrue(closes and closes[0]["code"] == 1000, self.server.events())
        self.assertIn("agent stopping", closes[0]["reason"])

    def test_a_stop_mid_session_still_reports_its_end(self):
        token, master = "launcher-token", base64.b64encode(bytes(range(32))).decode()
        prepare = {"type": "prepare_session", "session_id": "udp-stop-1",
                   "client_id": "client-1", "max_duration_sec": 0,
                   "session_token_sha256": hashlib.sha256(token.encode()).hexdigest(),
                   "encryption_key": master}
        self.server = VxcpServer(self.tmp, {"1": [{"wait": "register"}, {"send": prepare}]})
        self.agent = Agent(self.tmp, self.server.port)
        self.assertTrue(wait_until(lambda: "Waiting for launcher connection" in self.agent.text(),
                                   15), self.agent.text())
        proc = start_launcher(48001, token, master, "--pings", "1", "--then", "hold")
        self.assertTrue(wait_until(lambda: self.server.events("recv", "session_ready"), 15),
                        self.agent.text())
        rc, _ = self.agent.stop()
        self.assertEqual(rc, 0, self.agent.text())
        result, _ = launcher_outcome(proc)
        self.assertTrue(result["closed_by_agent"], result)
        # The agent is gone, so no reconnect can replay it: the end left before the agent did.
        self.assertTrue(wait_until(lambda: [
            e for e in self.server.events("recv", "session_ended")
            if json.loads(e["text"])["session_id"] == "udp-stop-1"], 5), self.agent.text())

    def test_reset_reconnects_with_a_new_connection(self):
        self.server = VxcpServer(self.tmp, {"1": [{"wait": "register"}, {"reset": True}],
                                            "*": [{"wait": "register"}]})
        self.agent = Agent(self.tmp, self.server.port)
        self.assertTrue(wait_until(lambda: len(self.server.events("recv", "register")) >= 2, 10),
                        self.agent.text())
        self.assertIn("server reset the connection (backend restarted)", self.agent.text())
        self.assertEqual(len(self.server.events("connect")), 2)
        rc, _ = self.agent.stop()
        self.assertEqual(rc, 0)


if __name__ == "__main__":
    if not AGENT or not os.access(AGENT, os.X_OK):
        print("VX_AGENT is not set to the agent binary - skipped")
        sys.exit(0)
    enter_namespace("VX_VXCP_NETNS")
    unittest.main(verbosity=2)
