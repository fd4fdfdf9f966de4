#!/usr/bin/python3
"""The whole agent over the VXCP/1 UDP control channel against the Python VXCP/1 server,
inside a network namespace of its own with only loopback up.

Env: VX_AGENT (agent binary), VX_PEERS (test peers folder).
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

from netns_agent import AgentProcess, enter_namespace, wait_until

AGENT = os.environ.get("VX_AGENT", "")
PEERS = os.environ.get("VX_PEERS", os.path.join(os.path.dirname(__file__), "..", "peers"))
SERVER_ID = "00000000-0000-4000-8000-0000000000cc"
TOKEN = "netns-agent-token"


class VxcpServer:
    def __init__(self, tmp, script, args=()):
        self.record = os.path.join(tmp, "vxcp.jsonl")
        port_file = os.path.join(tmp, "vxcp.port")
        path = os.path.join(tmp, "vxcp-script.json")
        with open(path, "w") as f:
            json.dump({"connections": script}, f)
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(PEERS, "vxcp_server.py"), "--quiet",
             "--port-file", port_file, "--record", self.record, "--script", path,
             "--server-id", SERVER_ID, "--agent-token", TOKEN] + list(args))
        if not wait_until(lambda: os.path.exists(port_file), 15):
            raise RuntimeError("VXCP/1 server did not start")
        with open(port_file) as f:
            self.port = int(f.read())

    def events(self, event=None, type_=None):
        out = []
        if not os.path.exists(self.record):
            return out
        with open(self.record) as f:
            for line in f:
                e = json.loads(line)
                if event and e["event"] != event:
                    continue
                if type_ and e.get("type") != type_:
                    continue
                out.append(e)
        return out

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


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
        self.assertIn("control channel connected over UDP to 127.0.0.1:%d (direct)"
                      % self.server.port, text)
        rc, took = self.agent.stop()
        self.assertEqual(rc, 0, self.agent.text())
        self.assertLess(took, 3.0)
        closes = self.server.events("agent_close")
        self.assertTrue(closes and closes[0]["code"] == 1000, self.server.events())
        self.assertIn("agent stopping", closes[0]["reason"])

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
