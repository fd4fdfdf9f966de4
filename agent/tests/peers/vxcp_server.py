#!/usr/bin/python3
"""A stand-in for the backend's VXCP/1 UDP endpoint, for tests.

Written from the protocol description (datagram layouts, key schedule, frames), independent of
the agent's code. Speaks the same JSON backend messages as test_backend.py over an encrypted,
reliable UDP stream, and checks what the agent sends:
  - no agent datagram is longer than 1200 bytes;
  - the agent never uses one packet number for two different DATA datagrams of a connection
    (identical copies, as a duplicating proxy makes them, are fine);
  - every JSON message the agent writes is canonical (the literal pong excepted).

Run:  /usr/bin/python3 vxcp_server.py --agent-token TOKEN [options]

Options:
  --host ADDR / --port N      listen address (default 127.0.0.1, any free port)
  --port-file PATH            write the bound port there (atomically) once listening
  --server-id TEXT            expected HELLO token (default: any)
  --agent-token TEXT          the shared secret (required)
  --idle-timeout-ms N, --keepalive-ms N, --max-message N   WELCOME values (15000, 1000, 262144)
  --clock-offset-ms N         this backend's clock runs N ms ahead of the real one
  --retry-skew-ms N           answer a HELLO whose time is off by more than N ms with a RETRY
                              (default 30000)
  --force-retry N             answer the first N HELLO connection ids with a RETRY anyway
  --record PATH               one JSON object per line per event (connect, recv, send, close,
                              violation, agent_close, reset)
  --script PATH               {"connections": {"1": [STEP...], "*": [...]}}; connections count
                              WELCOMEd connection ids from 1
  --control-port-file PATH    line-based control port on 127.0.0.1 (TCP): each line a STEP for
                              the newest connection, or {"stats": true} (answers one JSON line),
                              or {"quit": true}; other steps answer "ok" or "error: ..."
  --log-stored MODE, --secret TEXT   log uploads, as in test_backend.py (log_uploads.py)
  --quiet

STEP: {"wait": TYPE}, {"sleep": S}, {"send": {...}}, {"send_text": T}, {"ping": TS},
      {"pings": N, "interval": S}  (pings with ts 1..N; pongs are checked for order),
      {"close": CODE, "reason": R} (CLOSE frame three times, then the connection is forgotten),
      {"reset": true} / {"bad_reset": true} (RESET with the right / a wrong token),
      {"silence": S}  (neither answer nor acknowledge anything for S seconds)
      {"log_stored": "on"|"off"|S}, {"store_upload": ID}  (as in test_backend.py)

Each "diagnostic_log_part" message's record entry also holds "unacked_before": the fragments
of earlier messages this server had not acknowledged (or not received) when the part's first
fragment arrived - what the agent's pacing must keep below 16.
"""

import argparse
import hashlib
import hmac
import heapq
import json
import os
import select
import socket
import struct
import sys
import time

import nacl.bindings as nb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_control import ControlPort, RecordFile, add_common_options, write_port_file  # noqa: E402
import log_uploads  # noqa: E402

try:  # share the canonical-JSON rules with the WebSocket test backend
    from test_backend import canonical, is_literal_pong
except Exception:  # pragma: no cover - websockets missing: same rules, local copy
    def canonical(text):
        try:
            return json.dumps(json.loads(text), separators=(",", ":"), sort_keys=True,
                              ensure_ascii=False) == text
        except ValueError:
            return False

    def is_literal_pong(text):
        return text == '{"type":"pong"}' or text.startswith('{"type":"pong","ts":')

HELLO, WELCOME, DATA, RESET, RETRY = 1, 2, 3, 4, 5
PING, ACK, FRAGMENT, CLOSE = 1, 2, 3, 4
FRAG = 1100
MAX_DATAGRAM = 1200
ARGS = None
RECORD = RecordFile()
BOOK = None  # log_uploads.UploadBook
SERVER = {"server": None}


def log(msg, warn=False):
    if warn or not ARGS.quiet:
        print(f"vxcp_server: {msg}", file=sys.stderr, flush=True)


def record(event, **fields):
    entry = {"t": time.time(), "event": event}
    entry.update(fields)
    RECORD.write(entry)


def hmac256(key, data):
    return hmac.new(key, data, hashlib.sha256).digest()


def hkdf(salt, ikm, info, length):
    prk = hmac256(salt, ikm)
    out, block, i = b"", b"", 1
    while len(out) < length:
        block = hmac256(prk, block + info + bytes([i]))
        out += block
        i += 1
    return out[:length]


def nonce(label, pn):
    return label + b"\x00" + struct.pack(">Q", pn)


def header(kind, cid, pn):
    return bytes([kind, 1]) + cid + struct.pack(">Q", pn)


def backend_ms():
    return int(time.time() * 1000) + ARGS.clock_offset_ms


class Stream:
    """The backend's half of the reliable stream."""

    def __init__(self, now):
        self.next_pn = 1
        self.next_msg = 0
        self.pending = {}          # (msg, idx) -> (count, data)
        self.queue = []            # keys waiting, in order
        self.inflight = {}         # pn -> (sent, keys)
        self.rto = 0.3
        self.rto_base = now
        self.control = b""
        self.received = set()
        self.largest = 0
        self.largest_at = now
        self.ack_pending = False
        self.reasm = {}
        self.next_deliver = 0
        self.last_send = now
        # What the agent's log upload pacing is measured by: per message id its fragment count
        # and the fragments this side has acknowledged; per packet the fragments it carried.
        self.frag_counts = {}
        self.frag_acked = {}
        self.pn_frags = {}
        self.acked_below = 0  # every message below it is wholly acknowledged
        self.unacked_at_first = {}

    # sending
    def queue_message(self, data):
        count = max((len(data) + FRAG - 1) // FRAG, 1)
        for i in range(count):
            key = (self.next_msg, i)
            self.pending[key] = (count, data[i * FRAG:(i + 1) * FRAG])
            self.queue.append(key)
        self.next_msg += 1

    def oldest_pending(self):
        return min(k[0] for k in self.pending) if self.pending else self.next_msg

    def build(self, now, keepalive):
        payload = self.control
        self.control = b""
        keys = []
        budget = 1145 if self.ack_pending else 1166
        if len(self.inflight) < 64:
            oldest = self.oldest_pending()
            rest = []
            for key in self.queue:
                if key not in self.pending:
                    continue
                count, data = self.pending[key]
                if key[0] - oldest > 1024 or len(payload) + 11 + len(data) > budget:
                    rest.append(key)
                    continue
                payload += struct.pack(">BIHHH", FRAGMENT, key[0] & 0xffffffff, key[1], count,
                                       len(data)) + data
                keys.append(key)
            self.queue = rest
        eliciting = bool(keys)
        if not keys and now - self.last_send >= keepalive:
            payload += bytes([PING])
            eliciting = True
        if not payload and not self.ack_pending:
            return None
        if self.ack_pending:
            bits = 0
            for i in range(64):
                if self.largest - 1 - i in self.received:
                    bits |= 1 << i
            delay = int((now - self.largest_at) * 1e6)
            payload += struct.pack(">BQIQ", ACK, self.largest, min(max(delay, 0), 2**32 - 1), bits)
            self.ack_pending = False
            self.note_acked([self.largest] + [self.largest - 1 - i for i in range(64) if bits >> i & 1])
        pn = self.next_pn
        self.next_pn += 1
        if eliciting:
            self.inflight[pn] = (now, keys)
            self.rto_base = now
        self.last_send = now
        return pn, payload

    def note_acked(self, pns):
        for pn in pns:
            for mid, idx in self.pn_frags.pop(pn, []):
                self.frag_acked.setdefault(mid, set()).add(idx)

    def unacked_before(self, mid):
        """Fragments of messages before `mid` not yet acknowledged here (one for a message not
        seen at all): at most what the agent counts as awaiting delivery."""
        while self.acked_below < mid and self.acked_below in self.frag_counts and \
                len(self.frag_acked.get(self.acked_below, ())) >= self.frag_counts[self.acked_below]:
            self.acked_below += 1
        n = 0
        for m in range(self.acked_below, mid):
            n += self.frag_counts[m] - len(self.frag_acked.get(m, ())) if m in self.frag_counts else 1
        return n

    def requeue(self, keys, front=False):
        keys = [k for k in keys if k in self.pending and k not in self.queue]
        self.queue = keys + self.queue if front else self.queue + keys

    def on_timer(self, now):
        if self.inflight and now - self.rto_base >= self.rto:
            oldest = min(self.inflight)
            _, keys = self.inflight.pop(oldest)
            self.requeue(keys, front=True)
            self.rto = min(self.rto * 2, 2.0)
            self.rto_base = now

    def on_ack(self, largest, bits):
        acked = [largest] + [largest - 1 - i for i in range(64) if bits >> i & 1]
        hit = False
        for pn in acked:
            if pn in self.inflight:
                hit = True
                for key in self.inflight.pop(pn)[1]:
                    self.pending.pop(key, None)
        if hit:
            self.rto = 0.3
            for pn in sorted(p for p in self.inflight if p < largest - 2):
                self.requeue(self.inflight.pop(pn)[1])

    # receiving: returns (messages, close) or None for a malformed payload
    def on_packet(self, pn, payload, now):
        frames, pos = [], 0
        try:
            while pos < len(payload):
                kind = payload[pos]
                pos += 1
                if kind == PING:
                    frames.append((PING,))
                elif kind == ACK:
                    largest, _delay, bits = struct.unpack_from(">QIQ", payload, pos)
                    pos += 20
                    frames.append((ACK, largest, bits))
                elif kind == FRAGMENT:
                    mid, idx, count, ln = struct.unpack_from(">IHHH", payload, pos)
                    pos += 10
                    if count == 0 or idx >= count or pos + ln > len(payload):
                        return None
                    frames.append((FRAGMENT, mid, idx, count, payload[pos:pos + ln]))
                    pos += ln
                elif kind == CLOSE:
                    code, ln = struct.unpack_from(">HB", payload, pos)
                    pos += 3
                    if pos + ln > len(payload):
                        return None
                    frames.append((CLOSE, code, payload[pos:pos + ln].decode("utf-8", "replace")))
                    pos += ln
                else:
                    return None
        except struct.error:
            return None
        duplicate = pn in self.received or (pn <= self.largest and self.largest - pn >= 1024)
        in_window = all(((f[1] - self.next_deliver) & 0xffffffff) <= 1024 or
                        ((f[1] - self.next_deliver) & 0xffffffff) >= 2**31
                        for f in frames if f[0] == FRAGMENT)
        if any(f[0] in (PING, FRAGMENT) for f in frames) and in_window:
            self.ack_pending = True
        if duplicate:
            return [], None
        if in_window:
            self.received.add(pn)
            if pn > self.largest:
                self.largest, self.largest_at = pn, now
        close = None
        for f in frames:
            if f[0] == ACK:
                self.on_ack(f[1], f[2])
            elif f[0] == FRAGMENT:
                d = (f[1] - self.next_deliver) & 0xffffffff
                if d >= 2**31 or d > 1024:
                    continue
                self.pn_frags.setdefault(pn, []).append((f[1], f[2]))
                if f[1] not in self.frag_counts:
                    self.frag_counts[f[1]] = f[3]
                    self.unacked_at_first[f[1]] = self.unacked_before(f[1])
                entry = self.reasm.setdefault(f[1], {"count": f[3], "frags": {}})
                if entry["count"] == f[3]:
                    entry["frags"].setdefault(f[2], f[4])
            elif f[0] == CLOSE:
                close = (f[1], f[2])
        out = []
        while self.next_deliver in self.reasm and \
                len(self.reasm[self.next_deliver]["frags"]) == self.reasm[self.next_deliver]["count"]:
            entry = self.reasm.pop(self.next_deliver)
            out.append((b"".join(entry["frags"][i] for i in range(entry["count"])),
                        self.unacked_at_first.pop(self.next_deliver, 0)))
            self.next_deliver = (self.next_deliver + 1) & 0xffffffff
        return out, close


class Connection:
    def __init__(self, server, cid, addr, number, keys, welcome, token):
        self.server, self.cid, self.addr, self.number = server, cid, addr, number
        self.c2s, self.s2c = keys
        self.welcome = welcome
        self.reset_token = token
        self.stream = Stream(time.monotonic())
        self.seen_pn = {}
        self.steps = list(server.script.get(str(number), server.script.get("*", [])))
        self.wait_until = 0.0
        self.waiting_for = None
        self.inbox = []
        self.silent_until = 0.0
        self.pings = None  # (next ts, last ts, interval, next time)
        self.pongs_expected = 1
        self.pongs_in_order = 0
        self.pongs_out_of_order = 0
        self.closed = False
        self.messages = []
        self.agent_close = None

    def seal(self, pn, payload):
        h = header(DATA, self.cid, pn)
        return h + nb.crypto_aead_chacha20poly1305_ietf_encrypt(payload, h, nonce(b"s2c", pn),
                                                                 self.s2c)

    def send_json(self, value):
        self.send_text(json.dumps(value, separators=(",", ":"), sort_keys=True,
                                  ensure_ascii=False))

    def send_text(self, text):
        record("send", conn=self.number, text=text)
        try:
            BOOK.note_sent(json.loads(text))
        except ValueError:
            pass
        self.stream.queue_message(text.encode())

    def on_message(self, data, unacked_before=0):
        text = data.decode("utf-8", "replace")
        try:
            value = json.loads(text)
        except ValueError:
            value = None
        kind = value.get("type") if isinstance(value, dict) else None
        ok = canonical(text) or is_literal_pong(text)
        extra = {"unacked_before": unacked_before} if kind == "diagnostic_log_part" else {}
        record("recv", conn=self.number, text=text, type=kind, canonical=ok, **extra)
        if not ok:
            self.server.violation("non_canonical", text[:200])
        if kind == "diagnostic_log_part":
            for delay, answer in BOOK.on_part(self.number, value):
                self.server.later.append((time.monotonic() + delay, self, answer))
        if kind == "pong" and self.pings is not None:
            if value.get("ts") == self.pongs_expected:
                self.pongs_in_order += 1
            else:
                self.pongs_out_of_order += 1
            self.pongs_expected += 1
        self.messages.append(kind)
        self.inbox.append(kind)

    def step(self, step, now):
        """Applies one step; False when it must wait."""
        if "wait" in step:
            if step["wait"] in self.inbox:
                self.inbox.remove(step["wait"])
                return True
            return False
        if "sleep" in step:
            if self.wait_until == 0.0:
                self.wait_until = now + step["sleep"]
            if now < self.wait_until:
                return False
            self.wait_until = 0.0
        elif "send" in step:
            self.send_json(step["send"])
        elif "send_text" in step:
            self.send_text(step["send_text"])
        elif "ping" in step:
            self.send_json({"ts": step["ping"], "type": "ping"})
        elif "pings" in step:
            self.pings = [1, int(step["pings"]), float(step.get("interval", 0.0)), now]
        elif "close" in step:
            for _ in range(3):
                reason = step.get("reason", "").encode()[:255]
                self.stream.control = struct.pack(">BHB", CLOSE, int(step["close"]), len(reason)) + reason
                self.flush(now)
            record("close", conn=self.number, code=step["close"], reason=step.get("reason", ""))
            self.closed = True
        elif "reset" in step or "bad_reset" in step:
            token = self.reset_token if "reset" in step else bytes(b ^ 0xff for b in self.reset_token)
            self.server.sendto(header(RESET, self.cid, 0) + token, self.addr)
            record("reset", conn=self.number, good="reset" in step)
            if "reset" in step:
                self.closed = True
        elif "silence" in step:
            self.silent_until = now + step["silence"]
        elif "log_stored" in step:
            BOOK.set_mode(step["log_stored"])
        elif "store_upload" in step:
            self.send_stored(log_uploads.stored(step["store_upload"]))
        else:
            raise ValueError(f"unknown step {step!r}")
        return True

    def send_stored(self, value):
        record("log_stored", conn=self.number, upload_id=value["upload_id"])
        self.send_json(value)

    def run(self, now):
        while self.steps and not self.closed:
            try:
                if not self.step(self.steps[0], now):
                    break
            except Exception as e:
                log(f"connection {self.number}: step failed: {e!r}", warn=True)
            self.steps.pop(0)
        if self.pings and self.pings[0] <= self.pings[1] and now >= self.pings[3]:
            while self.pings[0] <= self.pings[1] and now >= self.pings[3]:
                self.send_json({"ts": self.pings[0], "type": "ping"})
                self.pings[0] += 1
                self.pings[3] += self.pings[2]
                if self.pings[2] > 0:
                    break

    def flush(self, now):
        if now < self.silent_until:
            return
        self.stream.on_timer(now)
        while True:
            built = self.stream.build(now, ARGS.keepalive_ms / 1000.0)
            if built is None:
                break
            self.server.sendto(self.seal(*built), self.addr)


class Server:
    def __init__(self, sock, script):
        self.sock = sock
        self.script = script
        self.by_cid = {}
        self.welcomes = {}
        self.retried = set()
        self.count = 0
        self.violations = []
        self.datagrams = 0
        self.later = []  # (due, connection, message): confirmations sent late
        self.hello_key = hmac256(ARGS.agent_token.encode(), b"vxcp1 hello")

    def sendto(self, data, addr):
        try:
            self.sock.sendto(data, addr)
        except OSError:
            pass

    def violation(self, kind, detail):
        self.violations.append({"kind": kind, "detail": detail})
        record("violation", kind=kind, detail=detail)
        log(f"VIOLATION {kind}: {detail}", warn=True)

    def on_datagram(self, data, addr, now):
        self.datagrams += 1
        if len(data) > MAX_DATAGRAM:
            self.violation("oversize", len(data))
        if len(data) < 18 or data[1] != 1:
            return
        kind, cid, pn = data[0], data[2:10], struct.unpack(">Q", data[10:18])[0]
        if kind == HELLO:
            self.on_hello(data, cid, addr)
        elif kind == DATA:
            conn = self.by_cid.get(cid)
            if conn is None or conn.closed or len(data) < 34:
                return
            digest = hashlib.sha256(data).digest()
            if conn.seen_pn.setdefault(pn, digest) != digest:
                self.violation("pn_reuse", f"connection {conn.number} packet {pn}")
            try:
                payload = nb.crypto_aead_chacha20poly1305_ietf_decrypt(
                    data[18:], data[:18], nonce(b"c2s", pn), conn.c2s)
            except Exception:
                return
            if now < conn.silent_until:
                return
            if conn.addr != addr:
                record("moved", conn=conn.number, addr=f"{addr[0]}:{addr[1]}")
                conn.addr = addr  # a relay move keeps the connection
            result = conn.stream.on_packet(pn, payload, now)
            if result is None:
                self.violation("malformed", f"packet {pn}")
                return
            messages, close = result
            for m, unacked in messages:
                conn.on_message(m, unacked)
            if close:
                conn.agent_close = close[0]
                record("agent_close", conn=conn.number, code=close[0], reason=close[1])

    def on_hello(self, data, cid, addr):
        if len(data) != 142:
            return
        if not hmac.compare_digest(hmac256(self.hello_key, data[:110]), data[110:]):
            record("bad_hello", reason="mac")
            return
        token = data[18:54].rstrip(b"\x00").decode("utf-8", "replace")
        if ARGS.server_id and token != ARGS.server_id:
            record("bad_hello", reason="token", token=token)
            return
        if cid in self.welcomes:  # a repeated HELLO gets the very same WELCOME
            self.sendto(self.welcomes[cid], addr)
            return
        skew = struct.unpack(">Q", data[102:110])[0] - backend_ms()
        if cid not in self.retried and (abs(skew) > ARGS.retry_skew_ms or
                                        len(self.retried) < ARGS.force_retry):
            self.retried.add(cid)
            body = header(RETRY, cid, 0) + struct.pack(">Q", backend_ms())
            self.sendto(body + hmac256(self.hello_key, body + data[110:]), addr)
            record("retry", skew_ms=skew)
            return
        agent_pk, hello_nonce = data[54:86], data[86:102]
        sk = os.urandom(32)
        pk = nb.crypto_scalarmult_base(sk)
        shared = nb.crypto_scalarmult(sk, agent_pk)
        okm = hkdf(hashlib.sha256(ARGS.agent_token.encode()).digest(), shared,
                   b"vxcp1 keys" + cid + agent_pk + pk + hello_nonce, 64)
        reset_token = os.urandom(16)
        body = struct.pack(">Q16sIII", backend_ms(), reset_token, ARGS.idle_timeout_ms,
                           ARGS.keepalive_ms, ARGS.max_message)
        head = header(WELCOME, cid, 0) + pk
        welcome = head + nb.crypto_aead_chacha20poly1305_ietf_encrypt(body, head, nonce(b"s2c", 0),
                                                                      okm[32:])
        self.welcomes[cid] = welcome
        self.count += 1
        conn = Connection(self, cid, addr, self.count, (okm[:32], okm[32:]), welcome, reset_token)
        self.by_cid[cid] = conn
        record("connect", conn=self.count, addr=f"{addr[0]}:{addr[1]}", token=token)
        log(f"connection {self.count} from {addr[0]}:{addr[1]}")
        self.sendto(welcome, addr)

    def newest(self):
        live = [c for c in self.by_cid.values() if not c.closed]
        if not live:
            raise RuntimeError("no open connection")
        return max(live, key=lambda c: c.number)

    def stats(self):
        conns = {str(c.number): {"pongs_in_order": c.pongs_in_order,
                                 "pongs_out_of_order": c.pongs_out_of_order,
                                 "messages": c.messages[-50:], "closed": c.closed,
                                 "agent_close": c.agent_close,
                                 "addr": f"{c.addr[0]}:{c.addr[1]}"}
                 for c in self.by_cid.values()}
        return {"connections": conns, "violations": self.violations,
                "datagrams": self.datagrams, "count": self.count}

    def tick(self, now):
        due = [x for x in self.later if x[0] <= now]
        self.later = [x for x in self.later if x[0] > now]
        for _, conn, value in due:
            if not conn.closed:
                conn.send_stored(value)
        for conn in list(self.by_cid.values()):
            if not conn.closed:
                conn.run(now)
                conn.flush(now)


def book_record(conn, event, **fields):
    """The upload book's events; its violations count among the server's."""
    if event == "violation":
        SERVER["server"].violation(fields.pop("kind"), dict(fields, conn=conn))
    else:
        record(event, conn=conn, **fields)


def control_line(server, line, now):
    step = json.loads(line)
    if step.get("quit"):
        return "ok", True
    if step.get("stats"):
        return json.dumps(server.stats()), False
    server.newest().step(step, now)
    return "ok", False


def main():
    script = {}
    if ARGS.script:
        with open(ARGS.script, encoding="utf-8") as f:
            script = json.load(f).get("connections", {})
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((ARGS.host, ARGS.port))
    server = Server(sock, script)
    SERVER["server"] = server
    port = sock.getsockname()[1]
    log(f"listening on {ARGS.host}:{port}")
    control = None
    if ARGS.control_port_file:
        control = ControlPort(ARGS.control_port_file,
                              lambda line: control_line(server, line, time.monotonic()))
    if ARGS.port_file:
        write_port_file(ARGS.port_file, port)
    while True:
        watch = [sock] + (control.sockets() if control else [])
        readable, _, _ = select.select(watch, [], [], 0.005)
        now = time.monotonic()
        for r in readable:
            if r is sock:
                for _ in range(256):
                    try:
                        data, addr = sock.recvfrom(65535, socket.MSG_DONTWAIT)
                    except BlockingIOError:
                        break
                    server.on_datagram(data, addr, now)
            elif control.serve(r):
                return
        server.tick(time.monotonic())


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_common_options(p)
    p.add_argument("--server-id")
    p.add_argument("--agent-token", required=True)
    p.add_argument("--idle-timeout-ms", type=int, default=15000)
    p.add_argument("--keepalive-ms", type=int, default=1000)
    p.add_argument("--max-message", type=int, default=262144)
    p.add_argument("--clock-offset-ms", type=int, default=0)
    p.add_argument("--retry-skew-ms", type=int, default=30000)
    p.add_argument("--force-retry", type=int, default=0)
    log_uploads.add_options(p)
    return p.parse_args()


if __name__ == "__main__":
    ARGS = parse_args()
    RECORD = RecordFile(ARGS.record)
    BOOK = log_uploads.UploadBook(book_record, ARGS.log_stored, ARGS.secret)
    BOOK.add_secret("agent token", ARGS.agent_token)
    try:
        main()
    except KeyboardInterrupt:
        pass
