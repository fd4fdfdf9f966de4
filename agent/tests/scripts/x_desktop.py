"""An X desktop of the test's own: Xvfb on a display number no other test holds, openbox as the
window manager, trayer as the system tray; windows of a helper process (peers/x_windows.py);
questions about windows through python3-xlib and input through xdotool."""

import fcntl
import json
import os
import shutil
import signal
import subprocess
import tempfile

from Xlib import X, display, error

from netns_agent import PEERS, wait_until

PROGRAMS = ("Xvfb", "openbox", "trayer", "xdotool", "setxkbmap")
ICONIC = 3  # ICCCM WM_STATE


def missing_programs():
    return [p for p in PROGRAMS if shutil.which(p) is None]


def claim_display_number():
    """A display number without an X server's lock file or socket, held through a lock of our own
    (Xvfb started with -displayfd writes no lock, and one in another network namespace is
    invisible to the socket check)."""
    start = os.getpid() % 400
    for i in range(400):
        n = 200 + (start + i) % 400
        if os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}"):
            continue
        lock = open(f"/tmp/.vx-test-display-{n}.lock", "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            lock.close()
            continue
        return n, lock
    raise RuntimeError("no free X display number")


class XDesktop:
    def __init__(self, tmp):
        self.tmp = tmp
        self.procs = []
        self.number, self._lock = claim_display_number()
        self.name = f":{self.number}"
        self.env = dict(os.environ, DISPLAY=self.name)
        self.d = None
        self.frozen = False
        try:
            self._start("xvfb", ["Xvfb", self.name, "-screen", "0", "1280x800x24",
                                 "-nolisten", "tcp", "-ac"])
            socket = f"/tmp/.X11-unix/X{self.number}"
            if not wait_until(lambda: os.path.exists(socket), 10) or not self._connect():
                raise RuntimeError("Xvfb did not start")
            self._start("openbox", ["openbox", "--sm-disable"])
            if not wait_until(self.window_manager_running, 10):
                raise RuntimeError("openbox did not start")
            self.start_tray()
        except Exception:
            self.close()
            raise

    def start_tray(self):
        """trayer, as the third of the desktop's programs."""
        self._start("trayer", ["trayer", "--edge", "top", "--align", "right",
                               "--widthtype", "request", "--height", "32"])
        if len(self.procs) > 3:
            self.procs[2:] = [self.procs[-1]]  # in place of one stopped by stop_tray
        if not wait_until(lambda: self.tray_owner() is not None, 10):
            raise RuntimeError("trayer did not take the system tray")

    def stop_tray(self):
        """Ends trayer, as a panel that crashes or restarts does."""
        self.procs[2].terminate()
        self.procs[2].wait()
        if not wait_until(lambda: self.tray_owner() is None, 10):
            raise RuntimeError("the system tray outlived trayer")

    def _start(self, name, args):
        with open(os.path.join(self.tmp, name + ".out"), "w") as out:
            self.procs.append(subprocess.Popen(args, env=self.env, stdout=out,
                                               stderr=subprocess.STDOUT))

    def _connect(self):
        try:
            self.d = display.Display(self.name)
            return True
        except Exception:
            return False

    def freeze(self):
        """Stops the X server (SIGSTOP): it stays alive and connected and answers nothing."""
        self.procs[0].send_signal(signal.SIGSTOP)
        self.frozen = True

    def thaw(self):
        self.procs[0].send_signal(signal.SIGCONT)
        self.frozen = False

    def lose_server(self):
        """Ends the X server under its clients."""
        self.d = None
        self.procs[0].kill()
        self.procs[0].wait()

    def close(self):
        if self.procs and self.procs[0].poll() is None:
            self.thaw()  # a stopped server would not end on SIGTERM
        if self.d is not None:
            self.d.close()
        for p in reversed(self.procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self._lock.close()

    # --- windows ------------------------------------------------------------------------
    def windows(self, wanted, keys_file=None):
        """Starts a helper process with the windows of `wanted`; returns (process, {name: id})."""
        fd, list_path = tempfile.mkstemp(dir=self.tmp, suffix=".json")
        with os.fdopen(fd, "w") as f:
            json.dump(wanted, f)
        ids_path = list_path + ".ids"
        args = ["/usr/bin/python3", os.path.join(PEERS, "x_windows.py"), "--windows", list_path,
                "--ids-file", ids_path]
        if keys_file:
            args += ["--keys-file", keys_file]
        proc = subprocess.Popen(args, env=self.env)
        if not wait_until(lambda: os.path.exists(ids_path) or proc.poll() is not None, 40) \
                or proc.poll() is not None:
            raise RuntimeError("x_windows.py did not show its windows")
        with open(ids_path) as f:
            return proc, json.load(f)

    def _prop(self, wid, name, type_=X.AnyPropertyType):
        try:
            p = self.d.create_resource_object("window", wid).get_full_property(
                self.d.intern_atom(name), type_)
            return None if p is None else p.value
        except Exception:
            return None

    def viewable(self, wid):
        try:
            w = self.d.create_resource_object("window", wid)
            return w.get_attributes().map_state == X.IsViewable
        except Exception:
            return False

    def show(self, wid):
        """Maps the window again (as a panel that is started anew)."""
        self.d.create_resource_object("window", wid).map()
        self.d.sync()

    def iconic(self, wid):
        state = self._prop(wid, "WM_STATE")
        return state is not None and len(state) > 0 and state[0] == ICONIC

    def active_window(self):
        """The window the window manager calls active (_NET_ACTIVE_WINDOW), None when none."""
        active = self._prop(self.d.screen().root.id, "_NET_ACTIVE_WINDOW")
        return active[0] if active is not None and len(active) > 0 and active[0] else None

    def window_manager_running(self):
        check = self._prop(self.d.screen().root.id, "_NET_SUPPORTING_WM_CHECK")
        return check is not None and len(check) > 0

    def tray_owner(self):
        owner = self.d.get_selection_owner(self.d.intern_atom("_NET_SYSTEM_TRAY_S0"))
        owner = getattr(owner, "id", owner)
        return owner or None

    def all_windows(self):
        out, todo = [], [self.d.screen().root]
        while todo and len(out) < 10000:
            w = todo.pop()
            try:
                children = w.query_tree().children
            except Exception:
                continue
            out.extend(children)
            todo.extend(children)
        return out

    def windows_of(self, pid, name=None):
        """Ids of the windows that state `pid` (and, when given, the title `name`)."""
        found = []
        for w in self.all_windows():
            stated = self._prop(w.id, "_NET_WM_PID")
            if stated is None or len(stated) == 0 or stated[0] != pid:
                continue
            if name is not None:
                title = self._prop(w.id, "_NET_WM_NAME")
                if title is None or bytes(title).decode("utf-8", "replace") != name:
                    continue
            found.append(w.id)
        return found

    def geometry(self, wid):
        """(x, y, width, height) of the window on the screen."""
        w = self.d.create_resource_object("window", wid)
        g = w.get_geometry()
        at = self.d.screen().root.translate_coords(w, 0, 0)
        return at.x, at.y, g.width, g.height

    def pixels(self, wid, x, y, width, height):
        """What the window shows in that rectangle: its pixels, row after row (bytes)."""
        w = self.d.create_resource_object("window", wid)
        return w.get_image(x, y, width, height, X.ZPixmap, 0xFFFFFFFF).data

    def has_font(self, pattern):
        return len(self.d.list_fonts(pattern, 1)) > 0

    def within(self, wid):
        """Whether the window sits inside another window than the root (docked)."""
        w = self.d.create_resource_object("window", wid)
        return w.query_tree().parent.id != self.d.screen().root.id

    # --- input --------------------------------------------------------------------------
    def xdotool(self, *args):
        subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, check=True,
                       timeout=10)

    def setxkbmap(self, *args):
        subprocess.run(["setxkbmap"] + list(args), env=self.env, check=True, timeout=10)

    def key_grabbed(self, keycode):
        """Whether another program holds a grab of `keycode` under any modifier on the root
        window (ours is refused then)."""
        root = self.d.screen().root
        refused = error.CatchError(error.BadAccess)
        root.grab_key(keycode, X.AnyModifier, False, X.GrabModeAsync, X.GrabModeAsync,
                      onerror=refused)
        self.d.sync()
        if refused.get_error():
            return True
        root.ungrab_key(keycode, X.AnyModifier)
        self.d.sync()
        return False

    def click(self, x, y):
        self.xdotool("mousemove", "--sync", x, y, "click", 1)
