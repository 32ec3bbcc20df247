"""A TCP forwarder on loopback whose link can be cut and restored: a network that drops."""

from __future__ import annotations

import socket
import threading


class Forwarder:
    """Forwards connections on its own port to ``target_port``.

    ``cut()`` closes every forwarded connection (both ends) and turns new ones away until
    ``restore()``.
    """

    def __init__(self, target_port: int, host: str = "127.0.0.1") -> None:
        self.target = (host, target_port)
        self._server = socket.create_server((host, 0))
        self.port: int = self._server.getsockname()[1]
        self._lock = threading.Lock()
        self._open: list[socket.socket] = []
        self._up = True
        self._closed = False
        self._thread = threading.Thread(target=self._accept, name="forwarder", daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        return f"mqtt://{self.target[0]}:{self.port}"

    def _accept(self) -> None:
        while True:
            try:
                near, _ = self._server.accept()
            except OSError:
                return  # closed
            with self._lock:
                if not self._up or self._closed:
                    near.close()
                    continue
            try:
                far = socket.create_connection(self.target)
            except OSError:
                near.close()
                continue
            with self._lock:
                if not self._up or self._closed:  # cut while connecting
                    near.close()
                    far.close()
                    continue
                self._open += [near, far]
            for src, dst in ((near, far), (far, near)):
                threading.Thread(target=self._pump, args=(src, dst), daemon=True).start()

    def _pump(self, src: socket.socket, dst: socket.socket) -> None:
        try:
            while data := src.recv(65536):
                dst.sendall(data)
        except OSError:
            pass
        for sock in (src, dst):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _drop(self) -> None:
        with self._lock:
            dropped, self._open = self._open, []
        for sock in dropped:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    def cut(self) -> None:
        with self._lock:
            self._up = False
        self._drop()

    def restore(self) -> None:
        with self._lock:
            self._up = True

    def close(self) -> None:
        with self._lock:
            self._closed = True
        try:
            self._server.shutdown(socket.SHUT_RDWR)  # wakes the accept
        except OSError:
            pass
        self._server.close()
        self._drop()
        self._thread.join(10)

    def __enter__(self) -> Forwarder:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
