#!/usr/bin/python3
"""What an idle agent costs the PC it runs on.

Starts the Python test backend and the whole agent in a network namespace of its own (only
loopback up), the agent connected over the WebSocket with its status screen drawing in a tmux
pane, waits until it has registered, then samples /proc for a while: CPU time of every thread
(schedstat, nanoseconds), voluntary and involuntary context switches (each voluntary one is a
wake-up after a wait), resident memory and the thread count. At the end it asks the agent to
stop (SIGTERM) and measures how long it takes to exit.

Run as root (unshare needs it), from a release build for meaningful figures:
    /usr/bin/python3 agent/bench/idle_cost.py [--seconds 60] [--agent PATH] [--json]
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "agent", "tests", "scripts"))

from netns_agent import RecordingPeer, enter_namespace, wait_until  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def default_agent():
    for flavour in ("release", "address"):
        path = os.path.join(ROOT, "build", flavour, "agent", "src", "velmora-agent")
        if os.path.exists(path):
            return path
    return ""


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def thread_sample(pid, tid):
    """(name, cpu ns, cpu ticks, voluntary and involuntary context switches) of one thread, or
    None once it has gone. The nanoseconds come from schedstat where the kernel keeps it; the
    ticks (utime + stime of stat) are what top shows, in steps of 1/CLK_TCK s."""
    base = f"/proc/{pid}/task/{tid}"
    comm, stat, status = read(base + "/comm"), read(base + "/stat"), read(base + "/status")
    if comm is None or stat is None or status is None:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    ticks = int(fields[11]) + int(fields[12])
    sched = read(base + "/schedstat")
    cpu_ns = int(sched.split()[0]) if sched else ticks * 1_000_000_000 // TICKS
    voluntary = involuntary = 0
    for line in status.splitlines():
        if line.startswith("voluntary_ctxt_switches"):
            voluntary = int(line.split()[1])
        elif line.startswith("nonvoluntary_ctxt_switches"):
            involuntary = int(line.split()[1])
    return comm.strip(), cpu_ns, ticks, voluntary, involuntary


def process_sample(pid):
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        s = thread_sample(pid, tid)
        if s is not None:
            threads[int(tid)] = s
    rss_kib = 0
    for line in (read(f"/proc/{pid}/status") or "").splitlines():
        if line.startswith("VmRSS:"):
            rss_kib = int(line.split()[1])
    return {"t": time.monotonic(), "threads": threads, "rss_kib": rss_kib}


def summarise(pid, first, last):
    seconds = last["t"] - first["t"]
    rows = []
    for tid, (name, cpu_ns, ticks, vol, invol) in sorted(last["threads"].items()):
        _, cpu0, ticks0, vol0, invol0 = first["threads"].get(tid, (name, 0, 0, 0, 0))
        label = "main" if tid == pid else name
        rows.append({"tid": tid, "name": label,
                     "cpu_pct": 100.0 * (cpu_ns - cpu0) / 1e9 / seconds,
                     "cpu_pct_ticks": 100.0 * (ticks - ticks0) / TICKS / seconds,
                     "wakeups_per_s": (vol - vol0 + invol - invol0) / seconds,
                     "involuntary_per_s": (invol - invol0) / seconds})
    gone = sorted(set(first["threads"]) - set(last["threads"]))
    return {"seconds": round(seconds, 1),
            "cpu_pct": sum(r["cpu_pct"] for r in rows),
            "cpu_pct_ticks": sum(r["cpu_pct_ticks"] for r in rows),
            "rss_mib": last["rss_kib"] / 1024.0,
            "threads": len(last["threads"]),
            "wakeups_per_s": sum(r["wakeups_per_s"] for r in rows),
            "per_thread": rows,
            "threads_gone": gone}


def print_report(r):
    print(f"idle agent over {r['seconds']} s (WebSocket, status screen on)")
    print(f"  CPU          {r['cpu_pct']:.3f} % of a core "
          f"(utime+stime ticks: {r['cpu_pct_ticks']:.3f} %)")
    print(f"  resident     {r['rss_mib']:.1f} MiB")
    print(f"  threads      {r['threads']}")
    print(f"  wake-ups     {r['wakeups_per_s']:.2f} /s in all")
    for row in sorted(r["per_thread"], key=lambda x: -x["wakeups_per_s"]):
        print(f"    {row['name']:<16} tid {row['tid']:<8} {row['wakeups_per_s']:7.2f} /s"
              f" ({row['involuntary_per_s']:.2f} preempted)   {row['cpu_pct']:.4f} % CPU")
    if r["threads_gone"]:
        print(f"  threads that ended during the run: {r['threads_gone']}")
    if r.get("stop_ms") is not None:
        print(f"  stop         {r['stop_ms']:.0f} ms from SIGTERM to exit")


class Pane:
    """The agent in a tmux pane of its own server, so the screen draws on a real terminal."""

    def __init__(self, tmp, agent, port):
        self.tmp = tmp
        self.socket = f"vx-idle-{os.getpid()}"
        pid_file = os.path.join(tmp, "agent.pid")
        env = (f"LOCALAPPDATA={tmp}/state HOME={tmp} VX_LANG=en")
        program = (f"echo $$ > {pid_file}; exec env -u VX_TUI -u VX_CONSOLE_LOG {env} {agent} "
                   f"--saas-host 127.0.0.1 --saas-port {port} --agent-token tok "
                   f"--server-id {'x' * 36}")
        self.tmux("new-session", "-d", "-x", "100", "-y", "30", f"cd {tmp} && {program}; sleep 600")
        if not wait_until(lambda: os.path.exists(pid_file) and read(pid_file).strip(), 10):
            raise RuntimeError("the agent did not start in tmux")
        self.pid = int(read(pid_file))

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args],
                              capture_output=True, text=True, timeout=20)

    def screen(self):
        return self.tmux("capture-pane", "-p").stdout

    def alive(self):
        return os.path.exists(f"/proc/{self.pid}") and \
            "zombie" not in (read(f"/proc/{self.pid}/status") or "zombie")

    def stop(self):
        """SIGTERM; milliseconds until the process has gone (None when it had to be killed)."""
        if not self.alive():
            return None
        t0 = time.monotonic()
        os.kill(self.pid, signal.SIGTERM)
        if wait_until(lambda: not self.alive(), 10):
            return (time.monotonic() - t0) * 1000.0
        os.kill(self.pid, signal.SIGKILL)
        return None

    def close(self):
        if self.alive():
            os.kill(self.pid, signal.SIGKILL)
        self.tmux("kill-server")


def measure(args):
    tmp = tempfile.mkdtemp(prefix="vx-idle-")
    backend = pane = None
    try:
        backend = RecordingPeer(tmp, "backend", "test_backend.py")
        pane = Pane(tmp, os.path.abspath(args.agent), backend.port)
        if not wait_until(lambda: backend.events("recv", "register"), 20):
            raise RuntimeError("the agent did not register:\n" + pane.screen())
        if not wait_until(lambda: "Connected" in pane.screen(), 10):
            print("warning: the status screen shows no connected state:\n" + pane.screen(),
                  file=sys.stderr)
        time.sleep(args.settle)
        first = process_sample(pane.pid)
        time.sleep(args.seconds)
        last = process_sample(pane.pid)
        report = summarise(pane.pid, first, last)
        report["stop_ms"] = pane.stop()
        return report
    finally:
        if pane:
            pane.close()
        if backend:
            backend.stop()
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--agent", default=os.environ.get("VX_AGENT") or default_agent())
    p.add_argument("--seconds", type=float, default=60.0, help="sampling window (default 60)")
    p.add_argument("--settle", type=float, default=3.0,
                   help="seconds to wait after registration before sampling (default 3)")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    args = p.parse_args()
    if not args.agent or not os.path.exists(args.agent):
        sys.exit("no agent binary: build one (scripts/build release) or pass --agent")
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("tmux"):
        sys.exit("needs root, unshare and tmux")
    enter_namespace("VX_IDLE_COST_IN_NETNS")
    report = measure(args)
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        print_report(report)


if __name__ == "__main__":
    main()
