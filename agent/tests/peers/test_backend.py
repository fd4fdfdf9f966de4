#!/usr/bin/python3
"""A stand-in for the Velmora backend's agent endpoint, for tests and the demo.

Serves the WebSocket endpoint "GET /agent/connect" (python3-websockets 10.4, Debian), checks the
upgrade and the "agent-token" header, records every message in both directions as JSON lines,
plays scripted messages to the agent and checks that every message the agent writes is
canonical JSON (compact, keys sorted, UTF-8 unescaped); the application pong is the one message
the agent writes as literal text and is exempt.

Run:  /usr/bin/python3 test_backend.py [options]

Options:
  --host ADDR            listen address (default 127.0.0.1)
  --port N               listen port (default 0 = any free port)
  --port-file PATH       write the bound port there once listening (written atomically, after
                         the control and relay port files)
  --token TEXT           expected agent token; a missing header gets 401, a different one 403
                         (default: any token is accepted)
  --reject STATUS        refuse the first --reject-count upgrades with this status:
                         401, 403, 500, or "400-plain" (nginx's answer when plain HTTP reaches
                         its TLS port; the hint is in the body)
  --reject-count N       how many upgrades --reject refuses (default: all)
  --record PATH          append one JSON object per line for every event (see Record below)
  --script PATH          JSON file with the scripted steps per connection (see Script below)
  --tls-cert PATH        serve TLS with this certificate chain (PEM) ...
  --tls-key PATH         ... and this key
  --ws-ping-interval S   send WebSocket pings every S seconds (default: none)
  --control-port-file P  open a line-based control port on 127.0.0.1 and write its port there;
                         each line is one step in the JSON form of the script (applied to the
                         newest open connection), answered with "ok" or "error: ...";
                         {"quit": true} stops the server
  --relay-port-file P    relay a launcher's control connection like the real backend: listen on
                         127.0.0.1 and write the port there; a launcher connecting to it makes
                         the newest agent connection receive "control_open", every chunk the
                         launcher sends becomes a "control_data" (base64), every "control_data"
                         from the agent is written back to the launcher, and the launcher's
                         leaving becomes "control_close"; the agent's "session_ended" closes
                         the launcher's connection
  --log-stored MODE      confirm whole log uploads: on (default), off, or a delay in seconds
  --secret TEXT          a text no log upload may contain (repeatable; see Log uploads below)
  --quiet                log only warnings to stderr

Record (--record), one JSON object per line, "t" is Unix time in seconds (float):
  {"t":..,"conn":N,"event":"connect","path":..,"token":..}     (with TLS also "sni":NAME|null)
  {"t":..,"conn":0,"event":"reject","status":401,"attempt":A,"token":..}  (A counts upgrades)
  {"t":..,"conn":N,"event":"recv","text":RAW,"type":T,"canonical":true|false}
  {"t":..,"conn":N,"event":"send","text":RAW}
  {"t":..,"conn":N,"event":"close","code":C,"reason":R}       (server closed with a code)
  {"t":..,"conn":N,"event":"drop"}                             (server dropped mid-frame)
  {"t":..,"conn":N,"event":"disconnect"}
A message that is not canonical JSON is also reported on stderr ("NON-CANONICAL ...").

Script (--script): {"connections": {"1": [STEP...], "2": [...], "*": [...]}}; connection numbers
count upgrades that were accepted, from 1; "*" applies to every connection without its own
list. After its steps a connection stays open until the agent goes away. STEP is one of:
  {"wait": "register"}              wait (at most 30 s) for a message of that type
  {"sleep": 1.5}                    pause
  {"send": {...}}                   send this JSON object (compact, sorted keys)
  {"send_text": "..."}              send this text as it stands
  {"ping": 123}                     application ping {"ts":123,"type":"ping"}
  {"prepare_session": {...}}        a valid prepare_session; the given keys override defaults
  {"terminate_session": "ID", "reason": "R"}
  {"observed_ip": "203.0.113.7"}
  {"close": 4009, "reason": "R"}    close frame with that code, then drop the connection
  {"drop_mid_frame": true}          write half of a frame header and abort the TCP connection
  {"hold": S}                       keep the connection S seconds, then drop it
  {"log_stored": "on"|"off"|S}      how later whole log uploads are confirmed (see --log-stored)
  {"store_upload": "ID"}            send "diagnostic_log_stored" for this upload now

Log uploads (log_uploads.py): every "diagnostic_log_part" is checked and reassembled; a whole
upload is recorded as {"event":"upload",...} with its content and confirmed with
"diagnostic_log_stored" as --log-stored says (on: at once, off: never, S: after S seconds).
A secret found in a part or an upload is recorded as a "secret_in_upload" violation; the agent
token, the keys and TURN credentials this backend sends, and every --secret are searched for.
"""

import argparse
import asyncio
import base64
import http
import json
import os
import ssl
import sys
import time

import websockets
import websockets.server

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_control import RecordFile, add_common_options  # noqa: E402
import log_uploads  # noqa: E402

ARGS = None
RECORD = RecordFile()
SCRIPT = {}
STATE = {"accepted": 0, "attempts": 0, "rejected": 0, "connections": {}}
RELAY = {"writer": None}  # the launcher connection of --relay-port-file
BOOK = None  # log_uploads.UploadBook


def log(msg, warn=False):
    if warn or not ARGS.quiet:
        print(f"test_backend: {msg}", file=sys.stderr, flush=True)


def record(conn, event, **fields):
    entry = {"t": time.time(), "conn": conn, "event": event}
    entry.update(fields)
    RECORD.write(entry)
    if event == "violation":
        log(f"VIOLATION {fields}", warn=True)


def canonical(text):
    try:
        value = json.loads(text)
    except ValueError:
        return False
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False) == text


def is_literal_pong(text):
    try:
        value = json.loads(text)
    except ValueError:
        return False
    if not isinstance(value, dict) or value.get("type") != "pong":
        return False
    if "ts" in value:
        return text == '{"type":"pong","ts":%d}' % value["ts"]
    return text == '{"type":"pong"}'


def default_prepare(overrides):
    msg = {
        "type": "prepare_session",
        "session_id": "sess-1",
        "client_id": "client-1",
        "max_duration_sec": 3600,
        "session_token_sha256": "0" * 64,
        "encryption_key": base64.b64encode(bytes(range(32))).decode(),
        "constraints": {"codec": "h264", "resolution": "1920x1080", "max_fps": 60,
                        "bitrate_kbps": 15000},
    }
    msg.update(overrides)
    return msg


def refusal(status):
    if status == "400-plain":
        body = (b"<html><head><title>400 The plain HTTP request was sent to HTTPS port</title>"
                b"</head><body><center>The plain HTTP request was sent to HTTPS port</center>"
                b"</body></html>\r\n")
        return http.HTTPStatus.BAD_REQUEST, [("Content-Type", "text/html")], body
    code = http.HTTPStatus(int(status))
    return code, [("Content-Type", "text/plain")], f"{int(status)} refused\n".encode()


async def process_request(path, headers):
    STATE["attempts"] += 1
    conn = 0  # refused upgrades are numbered by "attempt"
    attempt = STATE["attempts"]
    token = headers.get("agent-token")
    if path != "/agent/connect":
        record(conn, "reject", status=404, path=path, attempt=attempt)
        return http.HTTPStatus.NOT_FOUND, [], b"not found\n"
    if ARGS.reject and (ARGS.reject_count is None or STATE["rejected"] < ARGS.reject_count):
        STATE["rejected"] += 1
        record(conn, "reject", status=ARGS.reject, token=token, attempt=attempt)
        return refusal(ARGS.reject)
    if ARGS.token is not None and not token:
        record(conn, "reject", status=401, token=None, attempt=attempt)
        return refusal(401)
    if ARGS.token is not None and token != ARGS.token:
        record(conn, "reject", status=403, token=token, attempt=attempt)
        return refusal(403)
    return None


class Connection:
    def __init__(self, ws, number):
        self.ws = ws
        self.number = number
        self.inbox = asyncio.Queue()

    async def send_text(self, text):
        record(self.number, "send", text=text)
        try:
            BOOK.note_sent(json.loads(text))
        except ValueError:
            pass
        await self.ws.send(text)

    async def send_later(self, delay, value):
        if delay > 0:
            await asyncio.sleep(delay)
        if value.get("type") == "diagnostic_log_stored":
            record(self.number, "log_stored", upload_id=value["upload_id"])
        try:
            await self.send_json(value)
        except websockets.ConnectionClosed:
            pass

    async def send_json(self, value):
        await self.send_text(json.dumps(value, separators=(",", ":"), sort_keys=True,
                                        ensure_ascii=False))

    async def wait_type(self, wanted, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no {wanted} within {timeout} s")
            value = await asyncio.wait_for(self.inbox.get(), left)
            if isinstance(value, dict) and value.get("type") == wanted:
                return value

    async def close_with(self, code, reason):
        record(self.number, "close", code=code, reason=reason)
        try:
            await asyncio.wait_for(self.ws.close(code=code, reason=reason), 1.0)
        except (asyncio.TimeoutError, websockets.ConnectionClosed):
            pass
        self.ws.transport.abort()

    def drop_mid_frame(self):
        record(self.number, "drop")
        # A text frame announcing 256 bytes, cut after its length field.
        self.ws.transport.write(b"\x81\x7e\x01")
        self.ws.transport.abort()

    async def step(self, step):
        if "wait" in step:
            await self.wait_type(step["wait"], step.get("timeout", 30.0))
        elif "sleep" in step:
            await asyncio.sleep(step["sleep"])
        elif "send" in step:
            await self.send_json(step["send"])
        elif "send_text" in step:
            await self.send_text(step["send_text"])
        elif "ping" in step:
            await self.send_json({"type": "ping", "ts": step["ping"]})
        elif "prepare_session" in step:
            await self.send_json(default_prepare(step["prepare_session"]))
        elif "terminate_session" in step:
            await self.send_json({"type": "terminate_session",
                                  "session_id": step["terminate_session"],
                                  "reason": step.get("reason", "saas_terminated")})
        elif "observed_ip" in step:
            await self.send_json({"type": "observed_ip", "public_ip": step["observed_ip"]})
        elif "close" in step:
            await self.close_with(int(step["close"]), step.get("reason", ""))
        elif "drop_mid_frame" in step:
            self.drop_mid_frame()
        elif "log_stored" in step:
            BOOK.set_mode(step["log_stored"])
        elif "store_upload" in step:
            await self.send_later(0, log_uploads.stored(step["store_upload"]))
        elif "hold" in step:
            await asyncio.sleep(step["hold"])
            record(self.number, "drop")
            self.ws.transport.abort()
        else:
            raise ValueError(f"unknown step {step!r}")


async def reader(conn):
    try:
        async for text in conn.ws:
            if isinstance(text, bytes):
                text = text.decode("utf-8", "replace")
            ok = canonical(text) or is_literal_pong(text)
            try:
                value = json.loads(text)
            except ValueError:
                value = None
            kind = value.get("type") if isinstance(value, dict) else None
            record(conn.number, "recv", text=text, type=kind, canonical=ok)
            if not ok:
                log(f"NON-CANONICAL message on connection {conn.number}: {text}", warn=True)
            await conn.inbox.put(value)
            if kind == "diagnostic_log_part":
                for delay, answer in BOOK.on_part(conn.number, value):
                    asyncio.ensure_future(conn.send_later(delay, answer))
            elif kind == "control_data":
                relay_to_launcher(value)
            elif kind == "session_ended" and RELAY["writer"] is not None:
                RELAY["writer"].close()  # the session is over: so is its relayed control
    except websockets.ConnectionClosed:
        pass


async def handler(ws, path):
    STATE["accepted"] += 1
    number = STATE["accepted"]
    conn = Connection(ws, number)
    STATE["connections"][number] = conn
    fields = {}
    tls_object = ws.transport.get_extra_info("ssl_object")
    if tls_object is not None:
        fields["sni"] = getattr(tls_object, "vx_sni", None)
    BOOK.add_secret("agent token", ws.request_headers.get("agent-token"))
    record(number, "connect", path=path, token=ws.request_headers.get("agent-token"), **fields)
    log(f"connection {number} from {ws.remote_address}")
    read_task = asyncio.ensure_future(reader(conn))
    steps = SCRIPT.get(str(number), SCRIPT.get("*", []))
    try:
        for step in steps:
            if ws.transport.is_closing():
                break
            await conn.step(step)
        await read_task
    except Exception as e:  # a script step failed: keep serving other connections
        log(f"connection {number}: script stopped: {e!r}", warn=True)
        await read_task
    finally:
        STATE["connections"].pop(number, None)
        record(number, "disconnect")
        log(f"connection {number} ended")


async def control_client(reader_, writer, stop):
    while True:
        line = await reader_.readline()
        if not line:
            break
        try:
            step = json.loads(line)
            if step.get("quit"):
                writer.write(b"ok\n")
                await writer.drain()
                stop.set_result(None)
                break
            if not STATE["connections"]:
                raise RuntimeError("no open connection")
            conn = STATE["connections"][max(STATE["connections"])]
            await conn.step(step)
            writer.write(b"ok\n")
        except Exception as e:
            writer.write(f"error: {e}\n".encode())
        await writer.drain()
    writer.close()


def relay_to_launcher(value):
    writer = RELAY["writer"]
    if writer is None or writer.is_closing():
        log("control_data from the agent with no launcher to relay it to", warn=True)
        return
    try:
        writer.write(base64.b64decode(value.get("data", ""), validate=True))
    except ValueError:
        log(f"undecodable control_data from the agent: {value!r}", warn=True)


async def relay_client(reader_, writer):
    if not STATE["connections"]:
        log("launcher came to the relay with no agent connected", warn=True)
        writer.close()
        return
    conn = STATE["connections"][max(STATE["connections"])]
    RELAY["writer"] = writer
    log(f"relaying a launcher over connection {conn.number}")
    try:
        await conn.send_json({"type": "control_open"})
        while True:
            data = await reader_.read(4096)
            if not data:
                break
            await conn.send_json({"type": "control_data",
                                  "data": base64.b64encode(data).decode()})
        await conn.send_json({"type": "control_close"})
    except (websockets.ConnectionClosed, ConnectionError):
        pass
    finally:
        if RELAY["writer"] is writer:
            RELAY["writer"] = None
        writer.close()


def write_port_file(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(f"{port}\n")
    os.replace(tmp, path)


async def main():
    tls = None
    if ARGS.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(ARGS.tls_cert, ARGS.tls_key)
        # Remember the server name the client asked for (SNI); None when it sent none.
        tls.sni_callback = lambda tls_object, name, _ctx: setattr(tls_object, "vx_sni", name)
    stop = asyncio.get_running_loop().create_future()
    server = await websockets.serve(
        handler, ARGS.host, ARGS.port, ssl=tls, process_request=process_request,
        ping_interval=ARGS.ws_ping_interval, close_timeout=1, max_size=2 ** 22)
    port = server.sockets[0].getsockname()[1]
    log(f"listening on {ARGS.host}:{port}{' (TLS)' if tls else ''}")
    if ARGS.control_port_file:
        control = await asyncio.start_server(
            lambda r, w: control_client(r, w, stop), "127.0.0.1", 0)
        write_port_file(ARGS.control_port_file, control.sockets[0].getsockname()[1])
    if ARGS.relay_port_file:
        relay = await asyncio.start_server(relay_client, "127.0.0.1", 0)
        write_port_file(ARGS.relay_port_file, relay.sockets[0].getsockname()[1])
    # Last: a caller that waits for this file finds the other ports' files written too.
    if ARGS.port_file:
        write_port_file(ARGS.port_file, port)
    await stop
    server.close()


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_common_options(p)
    p.add_argument("--token")
    p.add_argument("--reject", choices=["401", "403", "500", "400-plain"])
    p.add_argument("--reject-count", type=int)
    p.add_argument("--tls-cert")
    p.add_argument("--tls-key")
    p.add_argument("--ws-ping-interval", type=float)
    p.add_argument("--relay-port-file")
    log_uploads.add_options(p)
    return p.parse_args()


if __name__ == "__main__":
    ARGS = parse_args()
    RECORD = RecordFile(ARGS.record)
    BOOK = log_uploads.UploadBook(record, ARGS.log_stored, ARGS.secret)
    if ARGS.token:
        BOOK.add_secret("agent token", ARGS.token)
    if ARGS.script:
        with open(ARGS.script, encoding="utf-8") as f:
            SCRIPT = json.load(f).get("connections", {})
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
