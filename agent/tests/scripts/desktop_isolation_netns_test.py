#!/usr/bin/python3
"""Desktop isolation in whole sessions: the agent, in a network namespace of its own with the
Python test backend and launcher, on an X desktop of the test's own (Xvfb, openbox, trayer as the
system tray, windows of a helper process, xdotool for keys and clicks). A session that asks to
hide the desktop hides the panel and the desktop window, minimises the ordinary windows (not the
agent's own, not dialogs, untitled, utility or skip-taskbar windows), swallows the Super key under
any modifier and docks a tray icon whose menu brings windows back (and draws their Cyrillic
titles); after the session everything is as it was, the focus back on the window that had it; the
same when the agent is stopped with SIGTERM; after a crash (SIGSEGV) the windows come back and the
shell stays hidden, as the log says; an X server that stops answering holds up neither the session
nor the agent's stop, and what the agent could not give back then is given back by the process it
hands the restore to, once the server answers, also after the agent has stopped or crashed; a tray
that restarts gets the icon again; an X server that goes away takes nothing with it. Every key that
produces Super is taken, also one the keymap gains during the session, and two overlapping Super
keys stay swallowed.

Skipped when Xvfb, openbox, trayer or xdotool is missing; the drawing of Cyrillic titles when the
X server has no ISO 10646 font (xfonts-base). Env: VX_AGENT, VX_PEERS.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

from netns_agent import enter_namespace, wait_until
from session_netns_test import AGENT, CONTROL_PORT, Agent, Backend, launcher, order
from x_desktop import XDesktop, missing_programs

TIP = "Velmora Agent \u2014 click to manage windows"
DID_NOT_ANSWER = "SessionIsolation: desktop did not answer within 2 s"
HANDED = re.compile(r"SessionIsolation: handed the restore of 2 windows( and the desktop shell)? "
                    r"to process (\d+), which waits up to 600 s for the desktop")
ENDING = "Session ending \u2014 cleaning up..."
PATIENCE = 10
# The agent's own log file (the restore process writes its outcome there).
AGENT_LOG = os.path.join(os.path.dirname(AGENT), "agent.log")
SUPER_L, SUPER_R, CAPS = 133, 134, 66  # keycodes of the evdev keymap
UNICODE_FONT = "-*-*-medium-r-*--13-*-*-*-*-*-iso10646-1"  # as the tray menu asks for

# The desktop: what the isolation changes and what it must leave alone.
WINDOWS = [
    {"name": "panel", "title": "Panel", "type": "dock"},
    {"name": "wallpaper", "title": "Desktop", "type": "desktop"},
    # Titles that a menu without Cyrillic glyphs would draw alike ("Editor" in Russian).
    {"name": "editor", "title": "Редактор"},
    {"name": "browser", "title": "????????"},
    {"name": "untitled", "focus": True},
    # openbox minimises a dialog with its owner: the owner is one the agent leaves alone.
    {"name": "dialog", "title": "Save as", "transient_for": "untitled"},
    {"name": "palette", "title": "Palette", "type": "utility"},
    {"name": "nopid", "title": "No process", "pid": None},
    {"name": "notes", "title": "Sticky notes", "skip_taskbar": True},
]
MINIMISED = ("editor", "browser")
LEFT_ALONE = ("untitled", "dialog", "palette", "nopid", "notes")
SHELL = ("panel", "wallpaper")


def process_ended(pid):
    """Gone, or a zombie its parent has not reaped yet."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


class DesktopIsolation(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = missing_programs()
        if missing:
            raise unittest.SkipTest("not installed: " + ", ".join(missing))
        # Class cleanups run also when this set-up fails half-way: a backend thread or a desktop
        # left running would keep the test process alive.
        cls.agent = None
        cls.sessions = 0
        cls.tmp = tempfile.mkdtemp(prefix="vx-desktop-")
        cls.addClassCleanup(subprocess.run, ["rm", "-rf", cls.tmp])
        cls.x = XDesktop(cls.tmp)
        cls.addClassCleanup(cls.x.close)
        os.environ["DISPLAY"] = cls.x.name  # the agent's desktop
        cls.backend = Backend(cls.tmp)
        cls.addClassCleanup(cls.backend.stop)
        cls.keys = os.path.join(cls.tmp, "keys")
        cls.helper, cls.ids = cls.x.windows(WINDOWS, cls.keys)
        cls.addClassCleanup(cls.helper.wait)
        cls.addClassCleanup(cls.helper.terminate)
        cls.addClassCleanup(cls.stop_agent)

    @classmethod
    def stop_agent(cls):
        if cls.agent is not None and cls.agent.proc.poll() is None:
            cls.agent.proc.kill()
            cls.agent.proc.wait()
        if os.environ.get("VX_SHOW_AGENT_LOG") and cls.agent is not None:
            print(cls.agent.text(), file=sys.stderr)

    # --- steps ----------------------------------------------------------------------------
    def start_agent(self):
        cls = type(self)
        if cls.agent is not None and cls.agent.proc.poll() is None:
            cls.agent.proc.kill()  # left running by a test that failed
            cls.agent.proc.wait()
        registered = len(cls.backend.events("recv", "register"))
        cls.agent = Agent(cls.tmp, ["--saas-host", "127.0.0.1", "--saas-port",
                                    str(cls.backend.port), "--agent-token", "tok",
                                    "--server-id", "x" * 36, "--client-idle-timeout", "0"])
        self.assertTrue(wait_until(lambda: len(cls.backend.events("recv", "register")) >
                                   registered, PATIENCE), cls.agent.text())
        # A window of the agent's own process, which it must not minimise.
        own, ids = cls.x.windows([{"name": "own", "title": "Agent window",
                                   "pid": cls.agent.proc.pid}])
        self.addCleanup(lambda: (own.terminate(), own.wait()))
        return ids["own"]

    def ordered_session(self):
        """Orders a session that hides the desktop and connects a launcher that holds it;
        returns (session id, launcher process)."""
        cls = type(self)
        cls.sessions += 1
        sid = f"desk-{cls.sessions}"
        # The focus is on a window the session leaves alone: it must be there again at the end.
        if not self.x.frozen:
            self.x.xdotool("windowactivate", "--sync", self.ids["untitled"])
        cls.backend.step({"prepare_session": order(
            sid, session_isolation={"hide_desktop": True, "launch_steam": False})})
        player = launcher(CONTROL_PORT, "--pings", "1", "--then", "hold", "--hold-limit", "60")
        self.addCleanup(lambda: (player.kill(), player.communicate()))
        return sid, player

    def isolated_session(self):
        """An ordered session, once its isolation is complete."""
        cls = type(self)
        log = cls.agent.text()
        sid, player = self.ordered_session()
        for line in ("SessionIsolation: minimized 2 application windows",
                     "SessionIsolation: low-level keyboard hook installed",
                     "SessionIsolation: tray icon created"):
            self.assertTrue(wait_until(lambda: cls.agent.text().count(line) >
                                       log.count(line), PATIENCE), cls.agent.text())
        return sid, player

    def assert_isolated(self, own):
        x, ids = self.x, self.ids
        for name in SHELL:
            self.assertTrue(wait_until(lambda: not x.viewable(ids[name]), PATIENCE), name)
        for name in MINIMISED:
            self.assertTrue(wait_until(lambda: x.iconic(ids[name]), PATIENCE), name)
        for name in LEFT_ALONE:
            self.assertTrue(x.viewable(ids[name]), name)
        self.assertTrue(x.viewable(own), "the agent's own window")
        # The icon is docked and shown: the panel that holds the tray stays.
        self.assertTrue(wait_until(lambda: self.tray_icon() is not None, PATIENCE))
        self.assertTrue(wait_until(lambda: x.viewable(self.tray_icon()), PATIENCE), "tray icon")
        self.assertTrue(x.within(self.tray_icon()))

    def assert_desktop_back(self, shell=True):
        x, ids = self.x, self.ids
        for name in MINIMISED + LEFT_ALONE:
            self.assertTrue(wait_until(lambda: x.viewable(ids[name]) and not x.iconic(ids[name]),
                                       PATIENCE), name)
        for name in SHELL:
            if shell:
                self.assertTrue(wait_until(lambda: x.viewable(ids[name]), PATIENCE), name)
            else:
                self.assertFalse(x.viewable(ids[name]), name)
        # The focus is where it was before the session, not on the last window brought back.
        self.assertTrue(wait_until(lambda: x.active_window() == ids["untitled"], PATIENCE),
                        (x.active_window(), ids))

    def typed(self, *keys):
        """Types `keys` into the untitled window; returns the key lines its helper saw."""
        return self.pressed("key", *keys)

    def pressed(self, *xdotool):
        """Runs `xdotool` with the untitled window focused, then types "z"; returns the key
        lines the window's helper saw."""
        open(self.keys, "w").close()
        self.x.xdotool("windowfocus", "--sync", self.ids["untitled"])
        self.x.xdotool(*xdotool, "key", "z")
        self.assertTrue(wait_until(lambda: "release z" in self.read(self.keys), PATIENCE))
        return self.read(self.keys).split("\n")

    def assert_super_swallowed_under_any_modifier(self):
        # (keys typed, a key the window must still get): Super never reaches it, whatever
        # modifier or lock is on; everything else does, also the other keys of a combination.
        rows = [
            (("super", "a"), "a"),
            (("super+b",), "b"),
            (("ctrl+super",), "Control_L"),
            (("shift+super",), "Shift_L"),
            (("alt+super",), "Alt_L"),
            (("Caps_Lock", "super", "Caps_Lock"), "Caps_Lock"),
            (("Num_Lock", "super", "Num_Lock"), "Num_Lock"),
            (("Num_Lock", "Caps_Lock", "ctrl+super", "Caps_Lock", "Num_Lock"), "Control_L"),
        ]
        for keys, arrives in rows:
            with self.subTest(keys=keys):
                seen = self.typed(*keys)
                self.assertNotIn("press Super_L", seen)
                self.assertNotIn("release Super_L", seen)
                self.assertIn("press " + arrives, seen)
        # Two Super keys held together: the grab that the first one's press began ends with its
        # release, and the second key's release must not reach the window either.
        seen = self.pressed("keydown", "--delay", "200", SUPER_L, SUPER_R,
                            "keyup", "--delay", "200", SUPER_L, SUPER_R)
        for line in ("press Super_L", "press Super_R", "release Super_L", "release Super_R"):
            self.assertNotIn(line, seen)

    @staticmethod
    def read(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def menu(self):
        shown = [m for m in self.x.windows_of(self.agent.proc.pid, "Velmora Agent")
                 if self.x.viewable(m)]
        return shown[0] if shown else None

    def assert_titles_drawn_apart(self, line):
        """The menu's lines of the editor and the browser differ on the screen."""
        with self.subTest("Cyrillic titles drawn"):
            if not self.x.has_font(UNICODE_FONT):
                self.skipTest("the X server has no ISO 10646 font (xfonts-base)")
            menu = self.menu()
            width = self.x.geometry(menu)[2]
            bands = []

            def drawn():
                # A line is drawn by one request: a band that is not blank is drawn whole.
                bands[:] = [self.x.pixels(menu, 0, line + 7 + k * line, width, line)
                            for k in (0, 1)]
                return all(b != b[:4] * (len(b) // 4) for b in bands)

            self.assertTrue(wait_until(drawn, PATIENCE), "the menu's lines were not drawn")
            self.assertTrue(bands[0] != bands[1], "the two titles are drawn alike")

    def tray_icon(self):
        icons = self.x.windows_of(self.agent.proc.pid, TIP)
        return icons[0] if icons else None

    # --- the sessions -----------------------------------------------------------------------
    def test_1_a_session_isolates_the_desktop_and_gives_it_all_back(self):
        own = self.start_agent()
        sid, _ = self.isolated_session()
        self.assert_isolated(own)
        self.assert_super_swallowed_under_any_modifier()

        # The tray icon's menu brings the editor back. The icon is a square as high as the
        # tray's row (trayer's is 32 px high), big enough to find and hit.
        icon = self.tray_icon()
        self.assertTrue(wait_until(lambda: self.x.geometry(icon)[2] >= 16, PATIENCE),
                        self.x.geometry(icon))
        ix, iy, iw, ih = self.x.geometry(icon)
        self.assertEqual(iw, ih)
        self.x.click(ix + iw // 2, iy + ih // 2)
        self.assertTrue(wait_until(lambda: self.menu() is not None, PATIENCE))
        mx, my, _, mh = self.x.geometry(self.menu())
        # Title, separator, "Restore: <editor>", "Restore: <browser>", separator, "Restore All".
        line = (mh - 2 * 7) // 4
        self.assert_titles_drawn_apart(line)
        self.x.click(mx + 30, my + line + 7 + line // 2)
        self.assertTrue(wait_until(
            lambda: "SessionIsolation: tray -> restored window #0" in self.agent.text(), PATIENCE),
            self.agent.text())
        self.assertTrue(wait_until(lambda: not self.x.iconic(self.ids["editor"]), PATIENCE))
        self.assertTrue(self.x.iconic(self.ids["browser"]))

        self.backend.step({"terminate_session": sid, "reason": "test"})
        self.assertTrue(wait_until(lambda: "SessionIsolation: desktop shell restored" in
                                   self.agent.text(), PATIENCE), self.agent.text())
        self.assert_desktop_back()
        self.assertIn("press Super_L", self.typed("super"))
        self.assertTrue(wait_until(lambda: self.tray_icon() is None, PATIENCE))

    def test_2_a_stopped_agent_gives_the_desktop_back(self):
        own = self.start_agent() if self.agent is None else None
        self.isolated_session()
        if own is not None:
            self.assert_isolated(own)
        rc = self.agent.stop()
        self.assertEqual(rc, 0, self.agent.text())
        self.assertIn("SessionIsolation: restored 2 windows", self.agent.text())
        self.assert_desktop_back()
        self.assertIn("press Super_L", self.typed("super"))

    def test_3_after_a_crash_the_windows_come_back_and_the_shell_stays_hidden(self):
        own = self.start_agent()
        self.isolated_session()
        self.assert_isolated(own)
        self.agent.proc.send_signal(signal.SIGSEGV)
        self.assertEqual(self.agent.proc.wait(PATIENCE), -signal.SIGSEGV)
        self.agent.log.close()
        text = self.agent.text()
        self.assertIn("Fatal crash", text)
        self.assertIn("[warning] [", text)
        self.assertIn("SessionIsolation: skipping ShowWindow in crash-handler context", text)
        self.assert_desktop_back(shell=False)
        self.assertIn("press Super_L", self.typed("super"))

    def test_4_a_desktop_that_stops_answering_holds_up_nothing(self):
        # A stopped X server is alive and never answers: Xlib would wait for it for ever. The
        # session starts and ends all the same, the agent stops (or its crash handler ends), and
        # what the agent could not give back comes back once the desktop answers again, through
        # the process the restore was handed to, which outlives the agent.
        rows = [("before the session", "terminated"), ("during the session", "terminated"),
                ("during the session", "stopped"), ("during the session", "crashed"),
                ("at the session's end", "crashed")]
        for frozen, end in rows:
            with self.subTest(frozen=frozen, end=end):
                self.restore_process = None
                try:
                    self.give_back_desktop()
                    self.frozen_desktop_session(frozen, end)
                finally:
                    self.x.thaw()
                    if self.restore_process is not None and \
                            not process_ended(self.restore_process):
                        os.kill(self.restore_process, signal.SIGKILL)
        self.give_back_desktop()

    def give_back_desktop(self):
        """What an earlier crash left hidden or minimised, brought back by hand."""
        for name in SHELL:
            self.x.show(self.ids[name])
        for name in MINIMISED:
            if self.x.iconic(self.ids[name]):
                self.x.xdotool("windowactivate", self.ids[name])
        self.x.xdotool("windowactivate", "--sync", self.ids["untitled"])
        self.assert_desktop_back()

    def frozen_desktop_session(self, frozen, end):
        self.start_agent()
        if frozen == "before the session":
            self.x.xdotool("windowactivate", "--sync", self.ids["untitled"])
            self.x.freeze()
            sid, _ = self.ordered_session()
            self.assertTrue(wait_until(lambda: DID_NOT_ANSWER in self.agent.text(), PATIENCE),
                            self.agent.text())
        else:
            sid, _ = self.isolated_session()
            if frozen == "during the session":
                self.x.freeze()
        if end == "terminated" or frozen == "at the session's end":
            if frozen == "at the session's end":
                self.x.freeze()
            self.backend.step({"terminate_session": sid, "reason": "test"})
        if end == "terminated":
            self.assertTrue(wait_until(lambda: f"Session {sid} ended" in self.agent.text(),
                                       PATIENCE), self.agent.text())
        elif end == "stopped":
            self.assertEqual(self.agent.stop(), 0, self.agent.text())
        else:
            if frozen == "at the session's end":
                self.assertTrue(wait_until(lambda: ENDING in self.agent.text(), PATIENCE))
            self.agent.proc.send_signal(signal.SIGSEGV)
            self.assertEqual(self.agent.proc.wait(PATIENCE), -signal.SIGSEGV)
            self.agent.log.close()
            self.assertIn("Fatal crash", self.agent.text())
        text = self.agent.text()
        if frozen == "before the session":
            # Nothing was isolated: the end neither waits for the desktop nor hands anything on.
            self.assertEqual(text.count(DID_NOT_ANSWER), 1, text)
            self.assertIsNone(HANDED.search(text), text)
            self.assertEqual(self.agent.stop(), 0, text)
            self.x.thaw()
            self.assert_desktop_back()
            return
        handed = HANDED.search(text)
        self.assertIsNotNone(handed, text)
        pid = self.restore_process = int(handed.group(2))
        with_shell = handed.group(1) is not None
        # A crash during the session leaves the shell hidden; a crash while the session's end
        # waits for the desktop (almost always: the crash may come just before the restore
        # began) hands on the whole restore.
        if frozen == "during the session":
            self.assertEqual(with_shell, end != "crashed", text)
        self.x.thaw()
        self.assert_desktop_back(shell=with_shell)
        # The restore process says what it did, in the agent's log file, and ends.
        self.assertTrue(wait_until(
            lambda: f"] [{pid}] SessionIsolation: restore process: the desktop answered" in
            self.read(AGENT_LOG), PATIENCE), self.read(AGENT_LOG)[-3000:])
        self.assertTrue(wait_until(lambda: process_ended(pid), PATIENCE))
        if end == "terminated":
            self.assertTrue(wait_until(lambda: self.tray_icon() is None, PATIENCE))
            self.assertEqual(self.agent.stop(), 0, self.agent.text())

    def test_5_a_tray_that_comes_back_docks_the_icon_again(self):
        # The panel that holds the tray crashes or restarts during the session: the icon, the
        # way back for the person at the PC, docks into the tray that takes its place.
        own = self.start_agent()
        sid, _ = self.isolated_session()
        self.assert_isolated(own)
        self.x.stop_tray()
        self.assertTrue(wait_until(lambda: not self.x.viewable(self.tray_icon()), PATIENCE))
        self.x.start_tray()
        self.assertTrue(wait_until(lambda: self.x.within(self.tray_icon()) and
                                   self.x.viewable(self.tray_icon()), PATIENCE),
                        self.agent.text())
        icon = self.tray_icon()
        self.assertTrue(wait_until(lambda: self.x.geometry(icon)[2] >= 16, PATIENCE))
        ix, iy, iw, ih = self.x.geometry(icon)
        self.x.click(ix + iw // 2, iy + ih // 2)
        self.assertTrue(wait_until(lambda: self.menu() is not None, PATIENCE))
        self.x.xdotool("key", "Escape")
        self.assertTrue(wait_until(lambda: self.menu() is None, PATIENCE))

        self.backend.step({"terminate_session": sid, "reason": "test"})
        self.assertTrue(wait_until(lambda: "SessionIsolation: desktop shell restored" in
                                   self.agent.text(), PATIENCE), self.agent.text())
        self.assert_desktop_back()
        self.assertTrue(wait_until(lambda: self.tray_icon() is None, PATIENCE))

    def test_6_every_key_that_produces_super_is_taken(self):
        # Caps Lock made a second Super_L: the Windows key is then not the key the keymap names
        # first for Super_L, and must be taken all the same; a keymap that changes during the
        # session has its new Super keys taken too.
        self.addCleanup(self.x.setxkbmap, "-option", "")
        for changed in ("before the session", "during the session"):
            with self.subTest(changed=changed):
                self.x.setxkbmap("-option", "")
                if changed == "before the session":
                    self.x.setxkbmap("-option", "caps:super")
                if self.agent is None or self.agent.proc.poll() is not None:
                    self.start_agent()
                sid, _ = self.isolated_session()
                if changed == "during the session":
                    self.x.setxkbmap("-option", "caps:super")
                self.assertTrue(wait_until(lambda: self.x.key_grabbed(CAPS), PATIENCE))
                for keycode in (SUPER_L, CAPS):
                    seen = self.typed(keycode)
                    self.assertNotIn("press Super_L", seen, keycode)
                    self.assertNotIn("release Super_L", seen, keycode)
                self.backend.step({"terminate_session": sid, "reason": "test"})
                self.assertTrue(wait_until(lambda: f"Session {sid} ended" in self.agent.text(),
                                           PATIENCE), self.agent.text())
                self.assertIn("press Super_L", self.typed(SUPER_L))

    def test_7_a_desktop_that_goes_away_does_not_take_the_agent_with_it(self):
        self.start_agent()
        sid, _ = self.isolated_session()
        self.x.lose_server()
        self.backend.step({"terminate_session": sid, "reason": "test"})
        self.assertTrue(wait_until(lambda: f"Session {sid} ended" in self.agent.text(),
                                   PATIENCE), self.agent.text())
        self.assertIn("SessionIsolation: the keyboard hook lost its desktop connection",
                      self.agent.text())
        self.assertEqual(self.agent.stop(), 0, self.agent.text())


if __name__ == "__main__":
    enter_namespace("VX_DESKTOP_NETNS")
    unittest.main(verbosity=2)
