"""The agent's log uploads as the test backends see them: each "diagnostic_log_part" is recorded,
every part and every reassembled upload is searched for the secrets this backend knows, and a
whole upload is confirmed with "diagnostic_log_stored" (at once, later, or not at all).

Shared by test_backend.py (WebSocket) and vxcp_server.py (VXCP/1), so every test that lets the
agent upload checks for leaked credentials in one place.

Secrets the book knows: the agent token (given or received), every "encryption_key" (its base64
text and its bytes in hex), "credential", "password", "pass" and "secret" the backend hands out
(TURN blocks, relay lists), every password written into a URL it hands out
("turn:user:pass@host"), and whatever a test names with --secret. Besides, no whole upload may hold a URL whose user-info
carries a password ("scheme:user:pass@", "scheme://user:pass@"), whoever's it is.

Record events:
  {"event":"upload","conn":N,"upload_id":..,"kind":..,"session_id":..|null,"parts":P,
   "bytes":B,"lines":L,"level":..,"summary":..,"truncated":..,"app_version":..,
   "copy":K,"part_t":[T0,..],"content":TEXT}            (one whole copy; K counts copies)
  {"event":"violation","kind":"secret_in_upload","secret":NAME,"upload_id":..,"part":I|null}
                                                        (NAME "url user-info" for a URL form)
  {"event":"violation","kind":"bad_log_part","detail":..}
  {"event":"log_stored","conn":N,"upload_id":..}        (a confirmation sent)
"""

import base64
import binascii
import json
import re
import time

MIN_SECRET = 6
MAX_PARTS = 60
PART_ZERO_KEYS = ("level", "summary", "truncated", "lines")
# Every name under which the agent's TURN credentials reader takes a password.
TURN_PASSWORD_KEYS = ("password", "credential", "pass", "secret")
# A URL's scheme at a word start, ":" or "://", then its user-info up to "@": the bytes the
# agent's redaction takes for user-info (no blanks, quotes, brackets, "/", "?" or "#").
URL_USERINFO = re.compile(r"(?<![A-Za-z0-9_])[A-Za-z][A-Za-z0-9+.\-]*:(?://)?"
                          r"([^\x00-\x20\x7f\"'\\/?#@<>\[\]{}]+)@")


def url_passwords(text):
    """The passwords written into the URLs of a text: user-info after its first ":"."""
    return [m.group(1).split(":", 1)[1] for m in URL_USERINFO.finditer(text)
            if ":" in m.group(1)]


def add_options(p):
    p.add_argument("--secret", action="append", default=[],
                   help="a text no log upload may contain (repeatable)")
    p.add_argument("--log-stored", default="on",
                   help="confirm whole uploads: on (at once), off (never), or a delay in seconds")


def parse_mode(value):
    if value in ("on", "off"):
        return value
    return float(value)


class UploadBook:
    def __init__(self, record, mode="on", secrets=()):
        self.record = record  # record(conn, event, **fields)
        self.mode = parse_mode(mode)
        self.secrets = {}     # text -> name
        self.partial = {}     # (conn, upload_id) -> {"meta": {...}, "parts": {i: (t, content)}}
        self.copies = {}      # upload_id -> whole copies seen
        for i, text in enumerate(secrets):
            self.add_secret(f"secret#{i + 1}", text)

    # ---- secrets ----
    def add_secret(self, name, text):
        if isinstance(text, str) and len(text) >= MIN_SECRET and text not in self.secrets:
            self.secrets[text] = name

    def note_sent(self, value, _key=None):
        """Learns the secrets inside a message this backend sends."""
        if isinstance(value, dict):
            for k, v in value.items():
                self.note_sent(v, k)
        elif isinstance(value, list):
            for v in value:
                self.note_sent(v, _key)
        elif isinstance(value, str) and _key in TURN_PASSWORD_KEYS:
            self.add_secret(_key, value)
        elif isinstance(value, str) and url_passwords(value):
            for password in url_passwords(value):
                self.add_secret("url password", password)
        elif isinstance(value, str) and _key == "encryption_key":
            self.add_secret("encryption_key", value)
            try:
                raw = base64.b64decode(value, validate=True)
            except (binascii.Error, ValueError):
                return
            self.add_secret("encryption_key (hex)", raw.hex())
            self.add_secret("encryption_key (HEX)", raw.hex().upper())
        elif isinstance(value, str) and _key == "turn":
            try:
                self.note_sent(json.loads(value))
            except ValueError:
                pass

    def leaks(self, text):
        return [name for secret, name in self.secrets.items() if secret in text]

    @staticmethod
    def url_leaks(text):
        """Read on whole uploads only: a part may start inside a word and look like a URL."""
        return ["url user-info"] if url_passwords(text) else []

    # ---- parts ----
    def violation(self, conn, kind, **fields):
        self.record(conn, "violation", kind=kind, **fields)

    def set_mode(self, value):
        self.mode = parse_mode(value)

    def on_part(self, conn, value, now=None):
        """One "diagnostic_log_part"; returns [(delay_seconds, message)] to send back."""
        now = time.time() if now is None else now
        upload_id = value.get("upload_id")
        part, parts = value.get("part"), value.get("parts")
        content = value.get("content")
        if not isinstance(upload_id, str) or not isinstance(content, str) or \
                not isinstance(part, int) or not isinstance(parts, int) or \
                not 0 <= part < parts <= MAX_PARTS:
            self.violation(conn, "bad_log_part", detail=str(value)[:200])
            return []
        for name in self.leaks(content):
            self.violation(conn, "secret_in_upload", secret=name, upload_id=upload_id, part=part)
        if (part == 0) != all(k in value for k in PART_ZERO_KEYS) or \
                (part != 0 and any(k in value for k in PART_ZERO_KEYS)):
            self.violation(conn, "bad_log_part", detail=f"{upload_id} part {part}: part-0 keys")
        entry = self.partial.setdefault((conn, upload_id), {"meta": None, "parts": {}})
        meta = {k: value.get(k) for k in ("kind", "parts", "app_version", "session_id")}
        if entry["meta"] is None:
            entry["meta"] = meta
        elif entry["meta"] != meta:
            self.violation(conn, "bad_log_part", detail=f"{upload_id} part {part}: {meta}")
        if part in entry["parts"]:
            self.violation(conn, "bad_log_part", detail=f"{upload_id} part {part} twice")
        entry["parts"][part] = (now, content)
        if part == 0:
            entry["zero"] = value
        if len(entry["parts"]) < parts:
            return []
        del self.partial[(conn, upload_id)]
        return self.whole(conn, upload_id, entry)

    def whole(self, conn, upload_id, entry):
        meta, zero = entry["meta"], entry.get("zero", {})
        ordered = [entry["parts"][i] for i in range(meta["parts"])]
        content = "".join(c for _, c in ordered)
        for name in self.leaks(content) + self.url_leaks(content):
            self.violation(conn, "secret_in_upload", secret=name, upload_id=upload_id, part=None)
        self.copies[upload_id] = self.copies.get(upload_id, 0) + 1
        self.record(conn, "upload", upload_id=upload_id, kind=meta["kind"],
                    session_id=meta["session_id"], parts=meta["parts"],
                    bytes=len(content.encode("utf-8")), lines=zero.get("lines"),
                    level=zero.get("level"), summary=zero.get("summary"),
                    truncated=zero.get("truncated"), app_version=meta["app_version"],
                    copy=self.copies[upload_id], part_t=[t for t, _ in ordered], content=content)
        if self.mode == "off":
            return []
        return [(0.0 if self.mode == "on" else self.mode, stored(upload_id))]


def stored(upload_id):
    return {"type": "diagnostic_log_stored", "upload_id": upload_id}


def summary_lines(record_path):
    """The uploads of a record file, one line each: kind, session, parts, size, copies."""
    out = []
    with open(record_path, encoding="utf-8") as f:
        for line in f:
            e = json.loads(line)
            if e.get("event") == "upload":
                session = f" session {e['session_id']}" if e.get("session_id") else ""
                out.append(f"{e['kind']} upload {e['upload_id']}{session}: {e['parts']} part(s), "
                           f"{e['bytes']} bytes, {e['lines']} lines, level {e['level']}"
                           f"{' (copy ' + str(e['copy']) + ')' if e['copy'] > 1 else ''}"
                           f" - {e['summary']}")
            elif e.get("event") == "violation" and e.get("kind") == "secret_in_upload":
                out.append(f"LEAK: {e['secret']} in upload {e['upload_id']}")
    return out
