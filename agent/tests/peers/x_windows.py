#!/usr/bin/python3
"""Windows of any kind on an X display, for the desktop isolation tests (python3-xlib, Debian).

Run:  DISPLAY=:N /usr/bin/python3 x_windows.py --windows FILE --ids-file FILE [--keys-file FILE]

--windows names a JSON list, one object per window:
  {"name": "editor",            the key of its id in --ids-file
   "title": "Editor",           _NET_WM_NAME and WM_NAME; absent or "" for an untitled window
   "type": "normal",            "normal", "dock", "desktop" or "utility" (_NET_WM_WINDOW_TYPE)
   "pid": "self",               _NET_WM_PID: "self", a number, or null for none
   "transient_for": "owner",    WM_TRANSIENT_FOR: another window of the list
   "skip_taskbar": true,        _NET_WM_STATE_SKIP_TASKBAR
   "focus": true}               gets the keyboard focus once everything is shown

Maps every window, waits (30 s at most) until each has been mapped, writes {"name": id, ...} to
--ids-file (atomically), then appends "<press|release> <keysym>" for every key event that reaches
one of its windows (named by the keymap of the moment) to --keys-file, one a line, until it is terminated or the X server ends.
"""

import argparse
import json
import os
import sys
import time

from Xlib import X, XK, Xatom, display, error

TYPES = {
    "normal": "_NET_WM_WINDOW_TYPE_NORMAL",
    "dock": "_NET_WM_WINDOW_TYPE_DOCK",
    "desktop": "_NET_WM_WINDOW_TYPE_DESKTOP",
    "utility": "_NET_WM_WINDOW_TYPE_UTILITY",
}

KEYSYM_NAMES = {getattr(XK, n): n[3:] for n in dir(XK) if n.startswith("XK_")}


def make_window(d, window, made, position):
    screen = d.screen()
    atom = lambda name: d.intern_atom(name)
    w = screen.root.create_window(
        20 + 30 * position, 40 + 20 * position, 240, 120, 0, screen.root_depth,
        X.InputOutput, X.CopyFromParent, background_pixel=screen.white_pixel,
        event_mask=X.KeyPressMask | X.KeyReleaseMask | X.StructureNotifyMask)
    title = window.get("title") or ""
    if title:
        w.set_wm_name(title.encode("latin-1", "replace"))  # STRING is Latin-1
        w.change_property(atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, title.encode())
    pid = window.get("pid", "self")
    if pid is not None:
        w.change_property(atom("_NET_WM_PID"), Xatom.CARDINAL, 32,
                          [os.getpid() if pid == "self" else int(pid)])
    w.change_property(atom("_NET_WM_WINDOW_TYPE"), Xatom.ATOM, 32,
                      [atom(TYPES[window.get("type", "normal")])])
    if window.get("skip_taskbar"):
        w.change_property(atom("_NET_WM_STATE"), Xatom.ATOM, 32,
                          [atom("_NET_WM_STATE_SKIP_TASKBAR")])
    if window.get("transient_for"):
        w.set_wm_transient_for(made[window["transient_for"]])
    w.set_wm_hints(flags=1, input=1)  # InputHint: it takes the focus
    w.map()
    return w


def wait_mapped(d, windows):
    pending = {w.id for w in windows}
    until = time.monotonic() + 30
    while pending and time.monotonic() < until:
        while d.pending_events():
            e = d.next_event()
            if e.type == X.MapNotify:
                pending.discard(e.window.id)
        time.sleep(0.01)
    if pending:
        raise RuntimeError(f"windows never mapped: {sorted(pending)}")


def record_keys(d, path):
    while True:
        e = d.next_event()
        if e.type == X.MappingNotify:
            d.refresh_keyboard_mapping(e)  # names keys by the keymap of the moment
        elif e.type in (X.KeyPress, X.KeyRelease):
            sym = d.keycode_to_keysym(e.detail, 0)
            kind = "press" if e.type == X.KeyPress else "release"
            with open(path, "a") as f:
                f.write(f"{kind} {KEYSYM_NAMES.get(sym, hex(sym))}\n")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--windows", required=True)
    p.add_argument("--ids-file", required=True)
    p.add_argument("--keys-file")
    args = p.parse_args()
    with open(args.windows) as f:
        wanted = json.load(f)
    d = display.Display()
    made = {}
    for i, window in enumerate(wanted):
        made[window["name"]] = make_window(d, window, made, i)
    d.sync()
    wait_mapped(d, list(made.values()))
    for window in wanted:
        if window.get("focus"):
            made[window["name"]].set_input_focus(X.RevertToParent, X.CurrentTime)
    d.sync()
    tmp = args.ids_file + ".tmp"
    with open(tmp, "w") as f:
        json.dump({name: w.id for name, w in made.items()}, f)
    os.replace(tmp, args.ids_file)
    try:
        if args.keys_file:
            record_keys(d, args.keys_file)
        else:
            while True:
                d.next_event()
    except error.ConnectionClosedError:
        return 0  # the X server went away: so do its windows


if __name__ == "__main__":
    sys.exit(main())
