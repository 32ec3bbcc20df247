"""The simulated market's message bus: a Mosquitto broker of its own, and the publisher.

``Mosquitto()`` runs the Debian package's broker on 127.0.0.1 on a free port (or a given one)
with a generated configuration, for as long as the object lives or until :meth:`stop`.
``Publisher(bus_url)`` sends market events as MessagePack maps of their content fields.
"""

from __future__ import annotations

import logging
import os
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Any

import msgpack

from taloma.feed import connect_client, parse_bus_url

log = logging.getLogger("taloma.simulator.bus")

MOSQUITTO_PATHS = ("/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto")


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
        return sock.getsockname()[1]


class Mosquitto:
    """A private Mosquitto broker on 127.0.0.1; ``port`` 0 picks a free one.

    Restartable on the same port: ``stop()`` then ``start()``.
    """

    def __init__(self, port: int = 0, start: bool = True) -> None:
        self._fixed = port
        self.port = port
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
                "persistence false\n"
                # A fast publisher must not lose QoS 0 messages to a subscriber that is a little behind.
                "max_queued_messages 0\n"
                "max_inflight_messages 0\n"
                "log_dest stderr\n"
                "log_type error\n"
                "log_type warning\n"
            )
        self._errors = open(os.path.join(self._dir.name, "mosquitto.log"), "wb")  # noqa: SIM115
        self._process = subprocess.Popen([binary, "-c", config], stdin=subprocess.DEVNULL,
                                         stdout=self._errors, stderr=subprocess.STDOUT)
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
    """

    def __init__(self, bus_url: str, timeout: float = 5.0) -> None:
        self.bus_url = bus_url
        self.host, self.port = parse_bus_url(bus_url)
        self._client = connect_client(bus_url, "taloma-sim-market", timeout=timeout)
        self.published = 0

    def on_event(self, event: Any) -> None:
        publish = self._client.publish
        for message in event.messages:
            payload = msgpack.packb(message.content)
            for topic in message.topics:
                publish(topic, payload)
                self.published += 1

    def close(self) -> None:
        client = self._client
        client.disconnect()
        client.loop_stop()
