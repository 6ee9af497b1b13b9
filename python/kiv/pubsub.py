"""Topics beyond one process: what `app.publish` sends to the other worker processes of a
server (`--workers N`), or to every process on every host through Redis (`PUBSUB_URL`).

Fan-out to the WebSockets of one process is native; a bus only carries a published
message to the other processes, each of which then fans it out to its own subscribers.
A bus delivers a process's own messages back to nobody: the publisher has already
delivered them locally.

- Between workers: the supervisor holds one end of a socket pair per worker and relays
  every frame a worker writes to all the others (`Relay`); each worker's `WorkerBus`
  writes its messages to its end and reads the others' on a thread of its own. A worker
  that does not read fast enough loses frames beyond `Relay.MAX_QUEUED` bytes rather
  than holding up the others (counted in `Relay.dropped`).
- Through Redis: every process publishes to the channel `kiv:<topic>` and listens to
  `kiv:*` on a thread of its own (the `redis` package, imported only then).
"""

from __future__ import annotations

import os
import selectors
import socket
import struct
import threading
from typing import Any, Callable, Union

Message = Union[str, bytes]
Deliver = Callable[[str, Message], None]

# Frame: length of what follows (u32), kind (0 text, 1 binary), topic length (u16),
# topic (UTF-8), payload.
_HEAD = struct.Struct("!IBH")
_MAX_FRAME = 64 * 1024 * 1024
ENV_FD = "KIV_BUS_FD"


def _frame(topic: str, message: Message) -> bytes:
    name = topic.encode()
    if len(name) > 0xFFFF:
        raise ValueError("topic name longer than 65535 bytes")
    binary = isinstance(message, (bytes, bytearray, memoryview))
    payload = bytes(message) if binary else message.encode()
    size = 3 + len(name) + len(payload)
    if size > _MAX_FRAME:
        raise ValueError(f"message larger than {_MAX_FRAME} bytes")
    return _HEAD.pack(size, 1 if binary else 0, len(name)) + name + payload


def _unframe(body: bytes) -> tuple[str, Message]:
    kind, length = body[0], int.from_bytes(body[1:3], "big")
    topic = body[3:3 + length].decode()
    payload = body[3 + length:]
    return topic, (payload if kind else payload.decode())


class Bus:
    """A way to reach the other processes. start() begins delivering their messages."""

    def start(self, deliver: Deliver) -> None:
        raise NotImplementedError

    def publish(self, topic: str, message: Message) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass


class WorkerBus(Bus):
    """A worker's end of the supervisor's relay."""

    def __init__(self, fd: int):
        self.sock = socket.socket(fileno=fd)
        self.sock.setblocking(True)
        self._lock = threading.Lock()
        self._thread: threading.Thread | None = None

    def start(self, deliver: Deliver) -> None:
        self._thread = threading.Thread(target=self._read, args=(deliver,),
                                        name="kiv-bus", daemon=True)
        self._thread.start()

    def publish(self, topic: str, message: Message) -> None:
        data = _frame(topic, message)
        with self._lock:  # frames from several threads must not interleave
            try:
                self.sock.sendall(data)
            except OSError:
                pass  # the supervisor is gone: this worker is on its way out too

    def _read(self, deliver: Deliver) -> None:
        buf = bytearray()
        while True:
            try:
                data = self.sock.recv(256 * 1024)
            except OSError:
                return
            if not data:
                return
            buf += data
            for body in _split(buf):
                try:
                    deliver(*_unframe(body))
                except Exception:  # noqa: BLE001  (one bad message must not stop the bus)
                    pass

    def close(self) -> None:
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        if self._thread is not None:
            self._thread.join(5)


def _split(buf: bytearray) -> list[bytes]:
    """Takes the complete frames off the front of buf (their bodies, heads removed)."""
    out, at = [], 0
    while len(buf) - at >= 4:
        size = int.from_bytes(buf[at:at + 4], "big")
        if len(buf) - at - 4 < size:
            break
        out.append(bytes(buf[at + 4:at + 4 + size]))
        at += 4 + size
    del buf[:at]
    return out


class Relay:
    """The supervisor's side: one socket pair per worker; every frame read from one is
    queued to all the others. Runs on a thread of its own once started."""

    MAX_QUEUED = 32 * 1024 * 1024

    def __init__(self) -> None:
        self._sel = selectors.DefaultSelector()
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        self._sel.register(self._wake_r, selectors.EVENT_READ)
        self._lock = threading.Lock()
        self._adds: list[socket.socket] = []
        self._removes: list[socket.socket] = []
        self._peers: dict[socket.socket, tuple[bytearray, bytearray]] = {}
        self._stopping = False
        self.dropped = 0
        self._thread = threading.Thread(target=self._run, name="kiv-relay", daemon=True)
        self._thread.start()

    def add_worker(self) -> tuple[socket.socket, int]:
        """A new socket pair: the relay's end, and the fd to hand to the worker (close it
        in the parent once the worker has it)."""
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        ours.setblocking(False)
        with self._lock:
            self._adds.append(ours)
        os.write(self._wake_w, b"a")
        return ours, theirs.detach()

    def remove_worker(self, ours: socket.socket) -> None:
        with self._lock:
            self._removes.append(ours)
        os.write(self._wake_w, b"r")

    def close(self) -> None:
        self._stopping = True
        os.write(self._wake_w, b"x")
        self._thread.join(5)
        for sock in list(self._peers):
            sock.close()
        self._sel.close()
        os.close(self._wake_r)
        os.close(self._wake_w)

    def _changes(self) -> None:
        with self._lock:
            adds, self._adds = self._adds, []
            removes, self._removes = self._removes, []
        for sock in adds:
            self._peers[sock] = (bytearray(), bytearray())
            self._sel.register(sock, selectors.EVENT_READ)
        for sock in removes:
            self._drop(sock)

    def _drop(self, sock: socket.socket) -> None:
        if self._peers.pop(sock, None) is not None:
            self._sel.unregister(sock)
        sock.close()

    def _run(self) -> None:
        while not self._stopping:
            for key, events in self._sel.select():
                if key.fd == self._wake_r:
                    try:
                        os.read(self._wake_r, 4096)
                    except BlockingIOError:
                        pass
                    self._changes()
                    continue
                sock = key.fileobj
                if sock not in self._peers:
                    continue
                if events & selectors.EVENT_READ:
                    self._read(sock)
                if sock in self._peers and events & selectors.EVENT_WRITE:
                    self._write(sock)

    def _read(self, sock: Any) -> None:
        inbuf = self._peers[sock][0]
        try:
            data = sock.recv(256 * 1024)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:  # the worker exited
            self._drop(sock)
            return
        inbuf += data
        # Relay whole frames only, so a reader never sees two workers' bytes mixed.
        at = 0
        while len(inbuf) - at >= 4:
            size = int.from_bytes(inbuf[at:at + 4], "big")
            if size > _MAX_FRAME:
                self._drop(sock)
                return
            if len(inbuf) - at - 4 < size:
                break
            frame = bytes(inbuf[at:at + 4 + size])
            at += 4 + size
            for other, (_, out) in self._peers.items():
                if other is sock:
                    continue
                if len(out) + len(frame) > self.MAX_QUEUED:
                    self.dropped += 1
                    continue
                if not out:
                    self._sel.modify(other, selectors.EVENT_READ | selectors.EVENT_WRITE)
                out += frame
        del inbuf[:at]
        for other, (_, out) in list(self._peers.items()):
            if out and other is not sock:
                self._write(other)  # most peers keep up: spare them the queue

    def _write(self, sock: Any) -> None:
        out = self._peers[sock][1]
        try:
            sent = sock.send(out)
        except BlockingIOError:
            return
        except OSError:
            self._drop(sock)
            return
        del out[:sent]
        if not out:
            self._sel.modify(sock, selectors.EVENT_READ)


class RedisBus(Bus):
    """Redis publish/subscribe: channel `kiv:<topic>`; the payload is a kind byte and this
    process's id before the message, so a process skips what it published itself."""

    PREFIX = "kiv:"

    def __init__(self, url: str):
        import redis  # only an app that sets PUBSUB_URL needs it

        self._client = redis.Redis.from_url(url)
        self._pubsub = self._client.pubsub(ignore_subscribe_messages=True)
        self._origin = os.urandom(8)
        self._thread: Any = None

    def start(self, deliver: Deliver) -> None:
        def handle(msg: dict) -> None:
            data = msg["data"]
            if data[1:9] == self._origin:
                return
            topic = msg["channel"].decode()[len(self.PREFIX):]
            payload = data[9:]
            try:
                deliver(topic, payload if data[0] else payload.decode())
            except Exception:  # noqa: BLE001  (one bad message must not stop the bus)
                pass

        self._pubsub.psubscribe(**{self.PREFIX + "*": handle})
        self._thread = self._pubsub.run_in_thread(sleep_time=1.0, daemon=True)

    def publish(self, topic: str, message: Message) -> None:
        binary = isinstance(message, (bytes, bytearray, memoryview))
        payload = bytes(message) if binary else message.encode()
        self._client.publish(self.PREFIX + topic,
                             (b"\x01" if binary else b"\x00") + self._origin + payload)

    def close(self) -> None:
        if self._thread is not None:
            self._thread.stop()
            self._thread.join(5)
        self._pubsub.close()
        self._client.close()


def bus_for(url: str | None) -> Bus | None:
    """The bus a process uses: Redis when a PUBSUB_URL is set, else the supervisor's relay
    when this process is one of its workers, else none."""
    if url:
        if not url.startswith(("redis://", "rediss://", "unix://")):
            raise ValueError(f"PUBSUB_URL {url!r}: only redis://, rediss:// and unix:// "
                             "URLs are supported")
        return RedisBus(url)
    fd = os.environ.pop(ENV_FD, None)  # not for this process's own children
    if fd is not None and fd.isdigit():
        try:
            return WorkerBus(int(fd))
        except OSError:  # a child that inherited the variable but not the descriptor
            return None
    return None
