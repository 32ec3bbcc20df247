"""The simulated market's message bus: a Mosquitto broker of its own, and the publisher.

``Mosquitto()`` runs the Debian package's broker on 127.0.0.1 on a free port (or a given one)
with a generated configuration, for as long as the object lives or until :meth:`stop`.
``Publisher(bus_url)`` sends market events as MessagePack maps of their content fields.

Both hold bounded queues: a subscriber or a bus that stops reading costs at most
:data:`SUBSCRIBER_QUEUE` messages in the broker and :data:`PUBLISH_QUEUE` in the publisher.
"""

from __future__ import annotations

import contextlib
import logging
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from typing import Any

import msgpack
from paho.mqtt.enums import MQTTErrorCode

from taloma.bus import connect_client, parse_bus_url

log = logging.getLogger("taloma.simulator.bus")

MOSQUITTO_PATHS = ("/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto")
# Messages the private broker holds for one subscriber beyond those in flight: a backlog of a
# busy market day for a subscriber a little behind, not the memory of a machine for a stalled one.
SUBSCRIBER_QUEUE = 100_000
# Seconds between the private broker's saves of its queues and sessions, besides the save on
# stop; each save stalls the broker for the size of its queues.
AUTOSAVE_INTERVAL = 60
# Market messages the publisher holds unsent while the bus is slow or stalled; later ones are dropped.
PUBLISH_QUEUE = 10_000
# Seconds between two warnings about dropped messages.
DROP_WARNING_INTERVAL = 10.0


def mosquitto_binary() -> str:
    found = shutil.which("mosquitto")
    if found:
        return found
    for path in MOSQUITTO_PATHS:
        if os.access(path, os.X_OK):
            return path
    raise FileNotFoundError("mosquitto is not installed: install the Debian package 'mosquitto' (make setup)")


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


class Mosquitto:
    """A private Mosquitto broker on 127.0.0.1; ``port`` 0 picks a free one.

    Restartable on the same port: ``stop()`` then ``start()``; persistent sessions and their
    queued messages are kept on disk across the restart. ``max_queued`` bounds the messages
    queued for each subscriber (:data:`SUBSCRIBER_QUEUE`).
    """

    def __init__(self, port: int = 0, start: bool = True, max_queued: int = SUBSCRIBER_QUEUE) -> None:
        if isinstance(max_queued, bool) or not isinstance(max_queued, int) or max_queued < 1:
            raise ValueError(f"max_queued must be a positive integer, not {max_queued!r}")
        self._fixed = port
        self.port = port
        self.max_queued = max_queued
        self._process: subprocess.Popen[bytes] | None = None
        self._dir = tempfile.TemporaryDirectory(prefix="taloma-bus-")
        if start:
            self.start()

    @property
    def url(self) -> str:
        return f"mqtt://127.0.0.1:{self.port}"

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def start(self, timeout: float = 10.0) -> Mosquitto:
        if self.running:
            return self
        binary = mosquitto_binary()
        # A free port may be taken between the probe and the bind; then try another.
        for _ in range(1 if self._fixed else 5):
            self.port = self._fixed or (self.port if self.port else free_port())
            try:
                self._launch(binary, timeout)
                return self
            except OSError:
                if self._fixed:
                    raise
                self.port = 0
        raise OSError("mosquitto could not bind a free port on 127.0.0.1")

    def _launch(self, binary: str, timeout: float) -> None:
        config = os.path.join(self._dir.name, "mosquitto.conf")
        with open(config, "w", encoding="ascii") as out:
            out.write(
                f"listener {self.port} 127.0.0.1\n"
                "allow_anonymous true\n"
                # Market data is many small messages: held back for the subscriber's delayed ACK, a tick
                # would wait tens of milliseconds (Nagle's algorithm).
                "set_tcp_nodelay true\n"
                # Started as root it would switch to the "mosquitto" user, which cannot write its queue
                # into our folder; as anyone else this changes nothing.
                f"user {pwd.getpwuid(os.geteuid()).pw_name}\n"
                "persistence true\n"
                f"persistence_location {self._dir.name}/\n"
                f"autosave_interval {AUTOSAVE_INTERVAL}\n"
                # A closed feed leaves its kept session behind (MQTT 3.1.1 has no expiry of its own).
                "persistent_client_expiration 1d\n"
                # A fast publisher must not lose QoS 0 messages to a subscriber that is a little behind,
                # nor a stalled subscriber take the machine's memory.
                f"max_queued_messages {self.max_queued}\n"
                "max_inflight_messages 0\n"
                "log_dest stderr\n"
                "log_type error\n"
                "log_type warning\n"
            )
        self._errors = open(os.path.join(self._dir.name, "mosquitto.log"), "wb")  # noqa: SIM115
        self._process = subprocess.Popen(
            [binary, "-c", config], stdin=subprocess.DEVNULL, stdout=self._errors, stderr=subprocess.STDOUT
        )
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                self._errors.close()
                with open(self._errors.name, "rb") as src:
                    text = src.read().decode("utf-8", "replace").strip()
                self._process = None
                raise OSError(f"mosquitto on 127.0.0.1:{self.port} exited: {text}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise TimeoutError(f"mosquitto on 127.0.0.1:{self.port} did not start within {timeout:g} s")

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self._errors.close()

    def close(self) -> None:
        self.stop()
        self._dir.cleanup()

    def __enter__(self) -> Mosquitto:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.stop()
        except Exception:  # interpreter shutdown
            pass


class Publisher:
    """Publishes market events on a bus: each message's content, packed once, to each of its topics.

    Use ``publisher.on_event`` as a market listener. QoS 0: a message nobody listens to is gone.
    At most ``max_queued`` messages (:data:`PUBLISH_QUEUE`) wait unsent; while the bus cannot
    take more, or is gone, messages are dropped, counted in ``dropped`` and logged now and then.
    """

    def __init__(self, bus_url: str, timeout: float = 5.0, max_queued: int = PUBLISH_QUEUE) -> None:
        self.bus_url = bus_url
        self.host, self.port = parse_bus_url(bus_url)
        self.max_queued = max_queued
        self.published = 0
        self.dropped = 0
        self._unsent = 0
        self._lock = threading.Lock()
        self._warned_at = -DROP_WARNING_INTERVAL
        self._warned_dropped = 0
        self._disconnected = threading.Event()
        self._client = connect_client(bus_url, "taloma-sim-market", timeout=timeout)
        # paho bounds only QoS 1 and 2 messages (max_queued_messages_set); these QoS 0 ones are
        # counted here from publish() until paho reports them written.
        self._client.on_publish = self._written
        self._client.on_disconnect = self._lost

    def on_event(self, event: Any) -> None:
        publish = self._client.publish
        for message in event.messages:
            payload = msgpack.packb(message.content)
            for topic in message.topics:
                with self._lock:
                    room = self._unsent < self.max_queued
                    if room:
                        self._unsent += 1
                if room:
                    rc = publish(topic, payload).rc
                    if rc == MQTTErrorCode.MQTT_ERR_SUCCESS:
                        self.published += 1
                        continue
                    with self._lock:
                        self._unsent -= 1
                self._drop()

    def _written(self, client: Any, userdata: Any, mid: int, reason: Any, properties: Any) -> None:
        with self._lock:
            self._unsent = max(0, self._unsent - 1)

    def _lost(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        # paho discards the unsent QoS 0 messages of a lost connection without reporting them.
        with self._lock:
            self._unsent = 0
        self._disconnected.set()

    def _drop(self) -> None:
        self.dropped += 1
        now = time.monotonic()
        if now - self._warned_at >= DROP_WARNING_INTERVAL:
            log.warning(
                "the bus at %s:%d is not taking market messages: %d dropped (%d in all)",
                self.host,
                self.port,
                self.dropped - self._warned_dropped,
                self.dropped,
            )
            self._warned_at, self._warned_dropped = now, self.dropped

    def close(self, timeout: float = 2.0) -> None:
        client = self._client
        self._disconnected.clear()
        client.disconnect()
        # A stalled bus never takes the queue ahead of the DISCONNECT; paho would wait for its keepalive.
        if not self._disconnected.wait(timeout):
            shutdown = getattr(client.socket(), "shutdown", None)  # a socket, or one wrapped for reading
            if shutdown is not None:
                with contextlib.suppress(OSError):
                    shutdown(socket.SHUT_RDWR)
        client.loop_stop()
