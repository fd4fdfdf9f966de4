"""Helpers shared by the whole-agent tests that run in a network namespace of their own."""

import json
import os
import signal
import subprocess
import sys
import time

PEERS = os.environ.get("VX_PEERS", os.path.join(os.path.dirname(__file__), "..", "peers"))


def enter_namespace(flag):
    """Re-runs the calling script in a fresh network namespace with only loopback up; `flag`
    names the environment variable that marks the second run."""
    if os.environ.get(flag) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    env = dict(os.environ, **{flag: "1"})
    script = os.path.abspath(sys.modules["__main__"].__file__)
    os.execvpe("unshare", ["unshare", "-n", "--", sys.executable, script] + sys.argv[1:], env)


def wait_until(pred, limit):
    until = time.monotonic() + limit
    while time.monotonic() < until:
        if pred():
            return True
        time.sleep(0.02)
    return pred()


def start_launcher(port, token, master_key, *args):
    """The test launcher (peers/test_launcher.py) on a control port, pinging every 0.1 s;
    `args` are more of its options."""
    return subprocess.Popen(
        ["/usr/bin/python3", os.path.join(PEERS, "test_launcher.py"), "--port", str(port),
         "--token", token, "--master-key", master_key, "--ping-interval", "0.1"] + list(args),
        stdout=subprocess.PIPE, text=True)


def launcher_outcome(proc):
    """The launcher's outcome (its last line of output) and its exit code."""
    out, _ = proc.communicate(timeout=60)
    return json.loads(out.strip().splitlines()[-1]), proc.returncode


class AgentProcess:
    """The agent with its output in a file; `stop` sends SIGTERM."""

    def __init__(self, args, log_path, env):
        self.log_path = log_path
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, env=env)

    def text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        """SIGTERM; returns (exit code, seconds it took)."""
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self.log.close()
        return rc, time.monotonic() - t0


class RecordingPeer:
    """A Python test peer (agent/tests/peers) that tells its ports through files and records what
    it sees, one JSON object a line. Each name in `port_files` adds a --<name>-port-file option;
    the ports read back are in `ports`, the main one also in `port`."""

    def __init__(self, tmp, name, peer, args=(), script=None, port_files=()):
        self.record = os.path.join(tmp, name + ".jsonl")
        files = {n: os.path.join(tmp, f"{name}.{n}") for n in ("port",) + tuple(port_files)}
        cmd = ["/usr/bin/python3", os.path.join(PEERS, peer), "--quiet",
               "--port-file", files["port"], "--record", self.record]
        for n in port_files:
            cmd += [f"--{n}-port-file", files[n]]
        if script is not None:
            path = os.path.join(tmp, name + "-script.json")
            with open(path, "w") as f:
                json.dump({"connections": script}, f)
            cmd += ["--script", path]
        self.proc = subprocess.Popen(cmd + list(args))
        if not wait_until(lambda: all(os.path.exists(f) for f in files.values()), 15):
            raise RuntimeError(f"{peer} did not start")
        self.ports = {}
        for n, path in files.items():
            with open(path) as f:
                self.ports[n] = int(f.read())
        self.port = self.ports["port"]

    def events(self, event=None, type_=None):
        """Recorded events, optionally only those of this "event" and message "type"."""
        out = []
        if not os.path.exists(self.record):
            return out
        with open(self.record) as f:
            for line in f:
                if not line.endswith("\n"):
                    break  # the peer is still writing it: a long entry takes several writes
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


def assert_clean_uploads(test, peer, at_least=1):
    """The check every whole-agent test ends with: the test backend (log_uploads.py) found no
    secret it knew (the agent token, the keys and TURN credentials it sent, every --secret) in
    any part or whole log upload, and every part was well formed. With `at_least`, that many
    whole uploads must have arrived, so the check is not vacuous."""
    bad = [e for e in peer.events("violation")
           if e.get("kind") in ("secret_in_upload", "bad_log_part")]
    test.assertEqual(bad, [])
    test.assertGreaterEqual(len(peer.events("upload")), at_least)
