"""What the Python test peers share: the port file, the record file, the common options and the
line-based TCP control port."""

import json
import os
import socket


def write_port_file(path, port):
    """Writes the port atomically, so a reader never sees half a number."""
    with open(path + ".tmp", "w") as f:
        f.write(f"{port}\n")
    os.replace(path + ".tmp", path)


def add_common_options(p):
    """Options every socket peer takes: where to listen, where to tell the port, what to record."""
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    p.add_argument("--record")
    p.add_argument("--script")
    p.add_argument("--control-port-file")
    p.add_argument("--quiet", action="store_true")


class RecordFile:
    """The --record file: one JSON object a line, flushed at once so a test can poll it."""

    def __init__(self, path=None):
        self.file = open(path, "a", encoding="utf-8") if path else None

    def write(self, entry):
        if self.file:
            self.file.write(json.dumps(entry, ensure_ascii=False) + "\n")
            self.file.flush()


class ControlPort:
    """A TCP listener on 127.0.0.1 whose clients send one command a line and get one line back.

    `answer(line)` returns (reply text, stop); an exception becomes the reply "error: ...".
    """

    def __init__(self, port_file, answer):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.answer = answer
        self.clients = {}
        write_port_file(port_file, self.listener.getsockname()[1])

    def sockets(self):
        return [self.listener] + list(self.clients)

    def owns(self, sock):
        return sock is self.listener or sock in self.clients

    def serve(self, sock):
        """Handles one readable socket of `sockets()`; True when a command asked to stop."""
        if sock is self.listener:
            client, _ = self.listener.accept()
            self.clients[client] = b""
            return False
        chunk = sock.recv(65536)
        if not chunk:
            self.clients.pop(sock)
            sock.close()
            return False
        self.clients[sock] += chunk
        while b"\n" in self.clients[sock]:
            line, self.clients[sock] = self.clients[sock].split(b"\n", 1)
            try:
                reply, stop = self.answer(line)
            except Exception as e:
                reply, stop = f"error: {e}", False
            sock.sendall(reply.encode() + b"\n")
            if stop:
                return True
        return False
