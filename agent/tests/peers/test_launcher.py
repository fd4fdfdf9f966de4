#!/usr/bin/python3
"""A stand-in for the Velmora launcher's control connection, for tests and the demo.

Connects over TCP to the agent's control port (port_base + 3) directly, or to the test backend's
relay port (test_backend.py --relay-port-file), which carries the same bytes to the agent as
control_open / control_data / control_close. Authenticates with the session token, checks the
three session keys against its own derivation (BLAKE2b, the construction behind libsodium's
crypto_kdf_derive_from_key), pings, sends stats, and then ends the session, goes silent, or drops
the connection.

Run:  /usr/bin/python3 test_launcher.py --port N --token TEXT [options]

Options:
  --host ADDR           agent (or relay) address (default 127.0.0.1)
  --port N              agent control port, or the relay port
  --connect-timeout S   keep retrying a refused connect for S seconds (default 10)
  --token TEXT          the session token to authenticate with
  --first-line TEXT     send this first line instead of the auth object (tests of refusals)
  --master-key B64      the session's encryption_key; the keys received must derive from it
  --pings N             pings to send after the handshake (default 3), each must be answered
  --ping-interval S     pause between pings (default 0.2)
  --stats N             stats lines to send (default 1)
  --then WHAT           after the pings: "end" (send end_session, wait for the agent to close),
                        "silent" (keep the connection, send nothing, until the agent closes it),
                        "close" (close the connection), "hold" (keep talking until the agent
                        closes the connection or --hold-limit passes)
  --hold-limit S        upper bound for waiting on the agent (default 60)
  --result PATH         write the outcome as one JSON object there

Outcome (stdout and --result): {"auth": "ok" | "<auth_failed code>" | "closed" | "refused",
"keys_match": bool|null, "pongs": N, "closed_by_agent": bool, "seconds": float}
Exit code 0 when the handshake was accepted, the keys matched (when --master-key was given) and
every ping was answered; 1 otherwise (the outcome says why).
"""

import argparse
import base64
import hashlib
import json
import socket
import struct
import sys
import time


def derive_key(master, subkey_id, context):
    return hashlib.blake2b(key=master, digest_size=32,
                           salt=struct.pack("<Q", subkey_id) + bytes(8),
                           person=context + bytes(8)).digest()


def expected_keys(master_b64):
    master = base64.b64decode(master_b64)
    return {
        "video_key": base64.b64encode(derive_key(master, 1, b"vxvideo1")).decode(),
        "audio_key": base64.b64encode(derive_key(master, 2, b"vxaudio1")).decode(),
        "input_key": base64.b64encode(derive_key(master, 3, b"vxinput1")).decode(),
    }


class Lines:
    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def read(self, timeout):
        """The next line as text; None when the agent closed; raises socket.timeout."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout()
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except ConnectionResetError:
                data = b""
            if not data:
                return None
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode("utf-8", "replace")

    def send(self, obj_or_text):
        text = obj_or_text if isinstance(obj_or_text, str) else json.dumps(obj_or_text)
        self.sock.sendall(text.encode() + b"\n")


def connect(host, port, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            return socket.create_connection((host, port), timeout=2)
        except OSError:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.05)


def wait_closed(lines, limit, keep_talking=False):
    """True when the agent closed the connection within `limit` seconds."""
    deadline = time.monotonic() + limit
    n = 0
    while time.monotonic() < deadline:
        try:
            line = lines.read(0.5)
        except socket.timeout:
            if keep_talking:
                n += 1
                try:
                    lines.send({"type": "ping", "ts": 1000 + n})
                except OSError:
                    return True
            continue
        if line is None:
            return True
    return False


def run(a):
    out = {"auth": None, "keys_match": None, "pongs": 0, "closed_by_agent": False}
    started = time.monotonic()
    try:
        sock = connect(a.host, a.port, a.connect_timeout)
    except OSError as e:
        out["auth"] = "refused"
        out["error"] = str(e)
        return out
    lines = Lines(sock)
    lines.send(a.first_line if a.first_line is not None
               else {"type": "auth", "session_token": a.token})
    try:
        answer = lines.read(a.hold_limit)
    except socket.timeout:
        answer = None
    if answer is None:
        out["auth"] = "closed"
        return out
    msg = json.loads(answer)
    if msg.get("type") != "session_ready":
        out["auth"] = msg.get("code", answer)
        out["closed_by_agent"] = wait_closed(lines, 5)
        return out
    out["auth"] = "ok"
    if a.master_key:
        want = expected_keys(a.master_key)
        out["keys_match"] = all(msg.get(k) == v for k, v in want.items())
    for i in range(a.stats):
        lines.send({"type": "stats", "rtt_ms": 12.5, "packet_loss_pct": 0.0,
                    "decoded_fps": 60.0, "jitter_ms": 1.0})
    for i in range(a.pings):
        lines.send({"type": "ping", "ts": i + 1})
        try:
            reply = lines.read(5)
        except socket.timeout:
            reply = None
        if reply is not None and json.loads(reply) == {"type": "pong", "ts": i + 1}:
            out["pongs"] += 1
        if i + 1 < a.pings:
            time.sleep(a.ping_interval)
    if a.then == "end":
        lines.send({"type": "end_session"})
        out["closed_by_agent"] = wait_closed(lines, a.hold_limit)
    elif a.then == "silent":
        out["closed_by_agent"] = wait_closed(lines, a.hold_limit)
    elif a.then == "hold":
        out["closed_by_agent"] = wait_closed(lines, a.hold_limit, keep_talking=True)
    sock.close()
    out["seconds"] = round(time.monotonic() - started, 3)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--connect-timeout", type=float, default=10.0)
    p.add_argument("--token", default="")
    p.add_argument("--first-line")
    p.add_argument("--master-key")
    p.add_argument("--pings", type=int, default=3)
    p.add_argument("--ping-interval", type=float, default=0.2)
    p.add_argument("--stats", type=int, default=1)
    p.add_argument("--then", choices=["end", "silent", "close", "hold"], default="end")
    p.add_argument("--hold-limit", type=float, default=60.0)
    p.add_argument("--result")
    a = p.parse_args()
    out = run(a)
    text = json.dumps(out, sort_keys=True)
    print(text, flush=True)
    if a.result:
        with open(a.result, "w") as f:
            f.write(text + "\n")
    ok = out["auth"] == "ok" and out["keys_match"] is not False and out["pongs"] == a.pings
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
