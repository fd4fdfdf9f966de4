"""The status screen as a person sees it: vx_status_demo (the real StatusScreen on a board filled
from a state file) in tmux at several sizes and in both languages, read back with capture-pane;
typed keys do not echo while the screen is up; Ctrl+C, a closed terminal (SIGHUP), Ctrl+\\ and a
crash must give the normal screen back with the cursor visible and the terminal's modes as they
were; plain mode writes no escape byte; a closed pipe does not kill the program."""

import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

BUILD = Path(os.environ.get("VX_BUILD_DIR", "build"))
DEMO = BUILD / "agent" / "tests" / "vx_status_demo"
STATES = Path(__file__).resolve().parents[1] / "ui" / "demo" / "states"
PATIENCE_S = 15.0


def demo_command(state, lang, *extra):
    return [str(DEMO), "--state", str(STATES / state), "--lang", lang, *extra]


class Pane:
    """One tmux server of our own (unique socket) holding one pane of the given size."""

    counter = 0

    def __init__(self, columns, rows, argv, env=None, shell=None):
        Pane.counter += 1
        self.socket = f"vxui-{os.getpid()}-{Pane.counter}"
        if shell is None:
            assignments = " ".join(f"{k}={v}" for k, v in (env or {}).items())
            shell = f"{assignments} {' '.join(argv)}; echo EXIT=$?; sleep 120"
        self.tmux("new-session", "-d", "-x", str(columns), "-y", str(rows), shell)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args],
                              capture_output=True, text=True, timeout=20)

    def lines(self):
        return self.tmux("capture-pane", "-p").stdout.split("\n")

    def text(self):
        return "\n".join(self.lines())

    def flags(self):
        return self.tmux("display", "-p", "#{alternate_on} #{cursor_flag}").stdout.strip()

    def modes(self):
        """The pane terminal's local modes as stty names them ("-echo" when echo is off)."""
        tty = self.tmux("display", "-p", "#{pane_tty}").stdout.strip()
        return subprocess.run(["stty", "-a", "-F", tty], capture_output=True, text=True,
                              timeout=20).stdout.split()

    def wait_for(self, needle):
        deadline = time.monotonic() + PATIENCE_S
        while time.monotonic() < deadline:
            if needle in self.text():
                return True
            time.sleep(0.05)
        return False

    def close(self):
        self.tmux("kill-server")


class TmuxCase(unittest.TestCase):
    def setUp(self):
        self.panes = []

    def tearDown(self):
        for pane in self.panes:
            pane.close()

    def pane(self, columns, rows, argv, env=None):
        pane = Pane(columns, rows, argv, env)
        self.panes.append(pane)
        return pane

    def watched_pane(self, argv, prefix=""):
        """A pane that saves the terminal's modes before and after `argv` (stty -g) and tells
        the program's pid; `prefix` runs first in the pane's shell."""
        folder = Path(tempfile.mkdtemp(prefix="vxui-modes-"))
        self.addCleanup(shutil.rmtree, folder, True)
        program = shlex.quote(f"echo $$ > {folder}/pid; exec {' '.join(argv)}")
        shell = (f"{prefix}stty -g > {folder}/before; sh -c {program}; rc=$?; "
                 f"stty -g > {folder}/after; echo EXIT=$rc; sleep 120")
        pane = Pane(80, 24, None, shell=shell)
        self.panes.append(pane)
        pane.folder = folder
        return pane

    def assert_modes_restored(self, pane):
        before = (pane.folder / "before").read_text()
        self.assertEqual((pane.folder / "after").read_text(), before)

    def assert_fits(self, pane, columns):
        for line in pane.lines():
            self.assertLessEqual(len(line.rstrip()), columns - 1, line)


@unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
class ScreenSizes(TmuxCase):
    TITLE = {"en": "Agent 0.4.448 · GAMING-PC-07", "ru": "Агент 0.4.448 · GAMING-PC-07"}
    HINT = {"en": "Ctrl+C stops the agent", "ru": "Ctrl+C — остановить"}
    LINK = {"en": " Link      ● Connected · UDP via the relay",
            "ru": " Связь     ● На\u00a0связи · UDP через релей"}

    def test_wide_banner_with_labels_at_column_twelve(self):
        for lang in ("en", "ru"):
            with self.subTest(lang=lang):
                pane = self.pane(200, 50, demo_command("session.state", lang))
                self.assertTrue(pane.wait_for(self.HINT[lang]), pane.text())
                lines = pane.lines()
                self.assertIn(self.TITLE[lang], lines[7])  # beside the logo, row 8
                self.assertIn("██▄  ▄██", lines[2])        # the mark on one line, rows 3 to 6
                self.assertIn(self.LINK[lang], lines)
                for line in lines[12:15]:
                    self.assertEqual(line[10], " ", line)
                    self.assertNotEqual(line[11], " ", line)
                self.assertEqual(pane.flags(), "1 0")
                self.assert_fits(pane, 200)

    def test_stacked_banner_at_ninety_columns(self):
        for lang in ("en", "ru"):
            with self.subTest(lang=lang):
                pane = self.pane(90, 40, demo_command("session.state", lang))
                self.assertTrue(pane.wait_for(self.HINT[lang]), pane.text())
                lines = pane.lines()
                self.assertIn(self.TITLE[lang], lines[10])
                self.assertNotIn("██▄  ▄██", lines[2])
                self.assertIn("██▄  ▄██", lines[5])  # the second word under the first
                self.assert_fits(pane, 90)

    def test_full_console_keeps_its_last_row(self):
        for lang in ("en", "ru"):
            with self.subTest(lang=lang):
                pane = self.pane(80, 24, demo_command("standalone.state", lang))
                self.assertTrue(pane.wait_for(self.HINT[lang]), pane.text())
                time.sleep(0.7)  # past an idle redraw: the last row must survive it too
                self.assertIn(self.HINT[lang], pane.lines()[23], pane.text())
                self.assert_fits(pane, 80)

    def test_tiny_console_shows_the_first_rows_without_wrapping(self):
        for lang in ("en", "ru"):
            with self.subTest(lang=lang):
                pane = self.pane(30, 5, demo_command("session.state", lang))
                self.assertTrue(pane.wait_for("VEL/MORA"), pane.text())
                self.assertTrue(pane.wait_for("●"), pane.text())
                lines = pane.lines()
                self.assertEqual(lines[0], " VEL/MORA")
                self.assertTrue(lines[1].startswith(" " + self.TITLE[lang][:5]), lines)
                self.assertTrue(lines[2].startswith(self.LINK[lang][:11]), lines)
                self.assert_fits(pane, 30)


@unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
class LeavingTheScreen(TmuxCase):
    def test_ctrl_c_returns_to_the_normal_screen(self):
        for lang, stopped in (("en", "Velmora agent stopped."), ("ru", "Агент Velmora остановлен.")):
            with self.subTest(lang=lang):
                pane = self.pane(90, 40, demo_command("session.state", lang))
                self.assertTrue(pane.wait_for("Ctrl+C"), pane.text())
                self.assertEqual(pane.flags(), "1 0")
                pane.tmux("send-keys", "C-c")
                self.assertTrue(pane.wait_for("EXIT=0"), pane.text())
                self.assertEqual(pane.flags(), "0 1")
                text = pane.text()
                self.assertIn(stopped, text)
                self.assertIn("/home/player/.local/share/Velmora/logs/agent.log", text)
                self.assertNotIn("▌", text)  # no frame after the leave sequence

    def test_ctrl_z_and_stray_stderr_leave_the_screen_alone(self):
        folder = Path(tempfile.mkdtemp(prefix="vxui-"))
        self.addCleanup(shutil.rmtree, folder, True)
        log = folder / "agent.log"
        state = folder / "demo.state"
        lines = (STATES / "standalone.state").read_text().splitlines()
        state.write_text("\n".join(l for l in lines if not l.startswith("log=")) + f"\nlog={log}\n")
        argv = [str(DEMO), "--state", str(state), "--lang", "en", "--stderr-after-ms", "300"]
        # Job control (set -m) gives the demo a process group of its own in the foreground,
        # where the terminal's Ctrl+Z would really stop it.
        command = f"set -m; {' '.join(argv)}; echo DEMO=$?"
        pane = self.pane(80, 24, ["bash", "-c", shlex.quote(command)])
        self.assertTrue(pane.wait_for("Ctrl+C stops the agent"), pane.text())
        pane.tmux("send-keys", "C-z")
        deadline = time.monotonic() + PATIENCE_S
        while "STRAY STDERR LINE" not in (log.read_text() if log.exists() else ""):
            self.assertLess(time.monotonic(), deadline, "the stray line is not in the log")
            time.sleep(0.05)
        self.assertNotIn("STRAY STDERR LINE", pane.text())
        self.assertNotIn("Stopped", pane.text())
        self.assertEqual(pane.flags(), "1 0")
        pane.tmux("send-keys", "C-c")
        self.assertTrue(pane.wait_for("EXIT=0"), pane.text())
        self.assertIn("DEMO=0", pane.text())  # 148 when Ctrl+Z had stopped it
        self.assertEqual(pane.flags(), "0 1")

    def test_a_crash_leaves_the_alternate_screen(self):
        pane = self.watched_pane(demo_command("idle.state", "en", "--crash-after-ms", "700"))
        self.assertTrue(pane.wait_for("EXIT="), pane.text())
        self.assertEqual(pane.flags(), "0 1")
        text = pane.text()
        self.assertIn("EXIT=139", text)
        self.assertIn("SIGSEGV", text)  # the crash line reaches the console, not the frame
        self.assertNotIn("Ctrl+C", text)
        self.assert_modes_restored(pane)


@unittest.skipUnless(shutil.which("tmux") and shutil.which("stty"), "tmux or stty is missing")
class TerminalModes(TmuxCase):
    """Keys typed at the screen neither echo into it nor scroll it; every way out puts the
    terminal's modes back exactly as they were."""

    def shown(self, pane):
        self.assertTrue(pane.wait_for("Ctrl+C stops the agent"), pane.text())
        self.assertEqual(pane.flags(), "1 0")
        modes = pane.modes()
        self.assertIn("-echo", modes)
        self.assertIn("-icanon", modes)

    def test_typed_keys_stay_off_the_screen_until_ctrl_c(self):
        pane = self.watched_pane(demo_command("standalone.state", "en"))
        self.shown(pane)
        pane.tmux("send-keys", "hello", "Enter", "Enter", "Enter")
        pane.tmux("send-keys", "C-c")
        self.assertTrue(pane.wait_for("EXIT=0"), pane.text())
        self.assertEqual(pane.flags(), "0 1")
        self.assertNotIn("hello", pane.text())
        self.assertIn("echo", pane.modes())
        self.assert_modes_restored(pane)

    def test_a_closed_terminal_stops_like_sigterm(self):
        pane = self.watched_pane(demo_command("standalone.state", "en"))
        self.shown(pane)
        # What a shell does with the SIGHUP of a closing terminal: it hands it to its job.
        os.kill(int((pane.folder / "pid").read_text()), signal.SIGHUP)
        self.assertTrue(pane.wait_for("EXIT="), pane.text())
        self.assertIn("EXIT=0", pane.text())
        self.assertIn("Velmora agent stopped.", pane.text())
        self.assertEqual(pane.flags(), "0 1")
        self.assert_modes_restored(pane)

    def test_ctrl_backslash_is_a_crash_that_gives_the_terminal_back_first(self):
        # The shell ignores SIGQUIT, as an interactive one does; the demo gets it from the key.
        pane = self.watched_pane(demo_command("standalone.state", "en"),
                                 prefix="trap '' QUIT; ulimit -c 0; ")
        self.shown(pane)
        pane.tmux("send-keys", "C-\\")
        self.assertTrue(pane.wait_for("EXIT="), pane.text())
        text = pane.text()
        self.assertIn("EXIT=131", text)
        self.assertIn("(SIGQUIT)", text)
        self.assertNotIn("Ctrl+C stops", text)
        self.assertEqual(pane.flags(), "0 1")
        self.assert_modes_restored(pane)


class PlainMode(unittest.TestCase):
    def run_on_a_terminal(self, env):
        """Runs the demo on a pseudo-terminal of its own (script) and returns the raw bytes."""
        command = " ".join(demo_command("session.state", "en", "--run-ms", "600"))
        full_env = {**os.environ, **env}
        result = subprocess.run(["script", "-q", "-e", "-c", command, "/dev/null"],
                                env=full_env, capture_output=True, timeout=30,
                                stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_redirected_output_is_plain(self):
        result = subprocess.run(demo_command("session.state", "en", "--run-ms", "400"),
                                capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 0)
        self.assertNotIn(b"\x1b", result.stdout)
        self.assertTrue(result.stdout.startswith(b"VELMORA  Agent 0.4.448 \xc2\xb7 GAMING-PC-07\n"))
        self.assertIn(b"! Port 48001", result.stdout)
        self.assertTrue(result.stdout.endswith(b"Velmora agent stopped.\n"))

    @unittest.skipUnless(shutil.which("script"), "script is not installed")
    def test_plain_on_a_terminal_writes_no_escape(self):
        self.assertIn(b"\x1b[?1049h", self.run_on_a_terminal({"TERM": "xterm"}))
        for env in ({"TERM": "xterm", "VX_TUI": "plain"}, {"TERM": "dumb"}, {"TERM": ""}):
            with self.subTest(env=env):
                out = self.run_on_a_terminal(env)
                self.assertNotIn(b"\x1b", out)
                self.assertIn(b"VELMORA  Agent", out)

    def test_a_closed_pipe_does_not_kill_the_program(self):
        command = " ".join(demo_command("idle.state", "en", "--run-ms", "800"))
        result = subprocess.run(["bash", "-c", f"{command} | head -1; exit ${{PIPESTATUS[0]}}"],
                                capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, b"VELMORA  Agent 0.4.448 \xc2\xb7 GAMING-PC-07\n")


if __name__ == "__main__":
    if not DEMO.exists():
        print(f"SKIP: {DEMO} is not built")
        sys.exit(0)
    unittest.main(verbosity=2)
