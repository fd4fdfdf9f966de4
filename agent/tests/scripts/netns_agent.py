"""Helpers shared by the whole-agent tests that run in a network namespace of their own."""

import os
import signal
import subprocess
import sys
import time


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
