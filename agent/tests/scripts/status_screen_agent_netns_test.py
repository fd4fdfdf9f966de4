"""The real agent's status screen, each run in a network namespace of its own (unshare -n, only
loopback, standalone: no backend): in tmux typed keys do not echo, and Ctrl+C or a closed
terminal (SIGHUP) give the normal screen back with the final text and the terminal's modes as
they were; with its output piped into `head -1` the agent survives the closed pipe."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

AGENT = os.environ.get("VX_AGENT", "")
PATIENCE_S = 20.0


def isolated_env(folder):
    env = {**os.environ, "LOCALAPPDATA": folder, "HOME": folder}
    for name in ("VX_TUI", "VX_CONSOLE_LOG", "VX_LANG"):
        env.pop(name, None)
    return env


class AgentScreen(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vxui-agent-")
        # One tmux server per test: a server still going away must not take the next one's pane.
        self.socket = f"vxui-agent-{os.getpid()}-{self.id().rsplit('.', 1)[-1]}"

    def tearDown(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
        shutil.rmtree(self.folder, ignore_errors=True)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args],
                              capture_output=True, text=True, timeout=20)

    def wait_for(self, needle):
        deadline = time.monotonic() + PATIENCE_S
        while time.monotonic() < deadline:
            if needle in self.tmux("capture-pane", "-p").stdout:
                return True
            time.sleep(0.05)
        return False

    def start_in_tmux(self):
        """The agent in a tmux pane; the pane saves the terminal's modes before and after it
        (stty -g) and tells its pid (unshare execs the agent)."""
        d = self.folder
        program = f"echo $$ > {d}/pid; exec unshare -n {AGENT}"
        shell = (f"cd {d} && stty -g > {d}/before; LOCALAPPDATA={d} VX_LANG=en sh -c '{program}'; "
                 f"rc=$?; stty -g > {d}/after; echo EXIT=$rc; sleep 120")
        self.tmux("new-session", "-d", "-x", "80", "-y", "24", shell)
        self.assertTrue(self.wait_for("Standalone, no platform"),
                        self.tmux("capture-pane", "-p").stdout)
        self.assertTrue(self.wait_for("Ctrl+C stops the agent"))
        # Nobody rents a standalone PC: it waits for a launcher.
        text = self.tmux("capture-pane", "-p").stdout
        self.assertIn("WAITING FOR A PLAYER", text)
        self.assertIn("Waiting for a launcher to connect.", text)
        self.assertEqual(self.flags(), "1 0")
        tty = self.tmux("display", "-p", "#{pane_tty}").stdout.strip()
        modes = subprocess.run(["stty", "-a", "-F", tty], capture_output=True, text=True,
                               timeout=20).stdout.split()
        self.assertIn("-echo", modes)  # typed keys stay off the screen
        self.assertIn("-icanon", modes)

    def flags(self):
        return self.tmux("display", "-p", "#{alternate_on} #{cursor_flag}").stdout.strip()

    def assert_left_cleanly(self):
        self.assertTrue(self.wait_for("EXIT="), self.tmux("capture-pane", "-p").stdout)
        text = self.tmux("capture-pane", "-p").stdout
        self.assertIn("EXIT=0", text)
        self.assertIn("Velmora agent stopped.", text)
        self.assertNotIn("WAITING FOR A PLAYER", text)
        self.assertEqual(self.flags(), "0 1")
        with open(os.path.join(self.folder, "before")) as before, \
                open(os.path.join(self.folder, "after")) as after:
            self.assertEqual(after.read(), before.read())

    @unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
    def test_ctrl_c_leaves_the_screen_with_the_final_text(self):
        self.start_in_tmux()
        self.tmux("send-keys", "C-c")
        self.assert_left_cleanly()

    @unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
    def test_a_closed_terminal_stops_the_agent_cleanly(self):
        self.start_in_tmux()
        # A closing terminal hangs up its shell, which hands the SIGHUP to its job.
        with open(os.path.join(self.folder, "pid")) as f:
            os.kill(int(f.read()), signal.SIGHUP)
        self.assert_left_cleanly()

    def test_a_closed_pipe_does_not_kill_the_agent(self):
        agent = subprocess.Popen(["unshare", "-n", AGENT], cwd=self.folder,
                                 env=isolated_env(self.folder), stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        try:
            first = agent.stdout.readline()
            self.assertTrue(first.startswith(b"VELMORA  "), first)
            agent.stdout.close()  # what `| head -1` does after its line
            # Events written after this point meet a closed pipe; give them the chance.
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline and agent.poll() is None:
                time.sleep(0.05)
            self.assertIsNone(agent.poll(), "the agent died on the closed pipe")
            agent.send_signal(signal.SIGTERM)
            self.assertEqual(agent.wait(timeout=PATIENCE_S), 0)
        finally:
            if agent.poll() is None:
                agent.kill()
                agent.wait()


if __name__ == "__main__":
    if not AGENT or not os.path.exists(AGENT):
        print("SKIP: the agent is not built")
        sys.exit(0)
    if os.geteuid() != 0 or not shutil.which("unshare"):
        print("SKIP: needs root and unshare for a network namespace of its own")
        sys.exit(0)
    unittest.main(verbosity=2)
