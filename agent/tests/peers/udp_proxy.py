#!/usr/bin/python3
"""A UDP proxy that impairs traffic per flow and per direction, for tests.

Every client source address is a flow with its own upstream socket towards the target, so the
target sees one address per flow. "up" is client to target, "down" target to client. Impairments
are random with a seed, so a run can be replayed.

Run:  /usr/bin/python3 udp_proxy.py --target HOST:PORT [options]

Options:
  --listen ADDR               listen address (default 127.0.0.1, any free port with --port 0)
  --port N
  --port-file PATH            write the bound port there (atomically) once listening
  --seed N                    random seed (default 1); printed at start
  --loss P, --loss-up P, --loss-down P          drop probability (0..1)
  --delay-ms N, --jitter-ms N                   fixed delay plus a uniform extra of 0..N ms
  --reorder P                 probability that a datagram is held back by up to 3 x jitter
  --duplicate P               probability that a datagram is sent twice
  --control-port-file PATH    line-based TCP control port on 127.0.0.1; each line a JSON object:
        {"blackhole": "up"|"down"|"both"|"none", "flow": N}  (flow numbers count from 1 in the
                                                              order clients appeared; no flow:
                                                              every flow, present and future)
        {"set": {"loss": P, "duplicate": P, ...}}           change impairments
        {"stats": true}                                     one JSON line of counters
        {"quit": true}
  --quiet
"""

import argparse
import heapq
import json
import os
import random
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_control import ControlPort, write_port_file  # noqa: E402

ARGS = None


def log(msg):
    if not ARGS.quiet:
        print(f"udp_proxy: {msg}", file=sys.stderr, flush=True)


class Proxy:
    def __init__(self, listen, target):
        self.listen = listen
        self.target = target
        self.rng = random.Random(ARGS.seed)
        self.flows = {}        # client address -> flow record
        self.by_socket = {}    # upstream socket -> client address
        self.queue = []        # (time, seq, socket, data, address)
        self.seq = 0
        self.default_blackhole = "none"
        self.params = {"loss_up": ARGS.loss_up if ARGS.loss_up is not None else ARGS.loss,
                       "loss_down": ARGS.loss_down if ARGS.loss_down is not None else ARGS.loss,
                       "delay": ARGS.delay_ms / 1000.0, "jitter": ARGS.jitter_ms / 1000.0,
                       "reorder": ARGS.reorder, "duplicate": ARGS.duplicate}
        self.counters = {"up": 0, "down": 0, "dropped": 0, "blackholed": 0, "duplicated": 0,
                         "max_up_size": 0}

    def flow(self, client):
        if client not in self.flows:
            up = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            up.bind((self.target[0] if self.target[0].startswith("127.") else "127.0.0.1", 0))
            number = len(self.flows) + 1
            self.flows[client] = {"number": number, "socket": up,
                                  "blackhole": self.default_blackhole}
            self.by_socket[up] = client
            log(f"flow {number}: {client[0]}:{client[1]}")
        return self.flows[client]

    def schedule(self, sock, data, address, direction, flow):
        self.counters[direction] += 1
        if direction == "up":
            self.counters["max_up_size"] = max(self.counters["max_up_size"], len(data))
        if flow["blackhole"] in (direction, "both"):
            self.counters["blackholed"] += 1
            return
        if self.rng.random() < self.params["loss_" + direction]:
            self.counters["dropped"] += 1
            return
        copies = 2 if self.rng.random() < self.params["duplicate"] else 1
        self.counters["duplicated"] += copies - 1
        for _ in range(copies):
            delay = self.params["delay"] + self.rng.uniform(0, self.params["jitter"])
            if self.rng.random() < self.params["reorder"]:
                delay += self.rng.uniform(0, 3 * max(self.params["jitter"], 0.01))
            self.seq += 1
            heapq.heappush(self.queue, (time.monotonic() + delay, self.seq, sock, data, address))

    def control(self, cmd):
        if cmd.get("stats"):
            return json.dumps({**self.counters, "flows": len(self.flows)})
        if "blackhole" in cmd:
            if "flow" in cmd:
                for f in self.flows.values():
                    if f["number"] == cmd["flow"]:
                        f["blackhole"] = cmd["blackhole"]
            else:
                self.default_blackhole = cmd["blackhole"]
                for f in self.flows.values():
                    f["blackhole"] = cmd["blackhole"]
        if "set" in cmd:
            for key, value in cmd["set"].items():
                if key in ("delay", "jitter"):
                    value = value / 1000.0
                self.params[key] = value
        return "ok"


def main():
    target_host, target_port = ARGS.target.rsplit(":", 1)
    target = (target_host, int(target_port))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((ARGS.listen, ARGS.port))
    proxy = Proxy(sock, target)
    log(f"listening on {ARGS.listen}:{sock.getsockname()[1]} for {ARGS.target}, seed {ARGS.seed}")

    def answer(line):
        cmd = json.loads(line)
        if cmd.get("quit"):
            return "ok", True
        return proxy.control(cmd), False

    control = ControlPort(ARGS.control_port_file, answer) if ARGS.control_port_file else None
    if ARGS.port_file:
        write_port_file(ARGS.port_file, sock.getsockname()[1])
    while True:
        now = time.monotonic()
        while proxy.queue and proxy.queue[0][0] <= now:
            _, _, out, data, address = heapq.heappop(proxy.queue)
            try:
                out.sendto(data, address)
            except OSError:
                pass
        timeout = 0.05 if not proxy.queue else max(0.0, proxy.queue[0][0] - now)
        watch = [sock] + list(proxy.by_socket) + (control.sockets() if control else [])
        readable, _, _ = select.select(watch, [], [], min(timeout, 0.05))
        for r in readable:
            if r is sock:
                data, client = sock.recvfrom(65535)
                flow = proxy.flow(client)
                proxy.schedule(flow["socket"], data, target, "up", flow)
            elif r in proxy.by_socket:
                data, source = r.recvfrom(65535)
                client = proxy.by_socket[r]
                proxy.schedule(sock, data, client, "down", proxy.flows[client])
            elif control.serve(r):
                return


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--target", required=True)
    p.add_argument("--listen", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--loss", type=float, default=0.0)
    p.add_argument("--loss-up", type=float)
    p.add_argument("--loss-down", type=float)
    p.add_argument("--delay-ms", type=float, default=0.0)
    p.add_argument("--jitter-ms", type=float, default=0.0)
    p.add_argument("--reorder", type=float, default=0.0)
    p.add_argument("--duplicate", type=float, default=0.0)
    p.add_argument("--control-port-file")
    p.add_argument("--quiet", action="store_true")
    return p.parse_args()


if __name__ == "__main__":
    ARGS = parse_args()
    try:
        main()
    except KeyboardInterrupt:
        pass
