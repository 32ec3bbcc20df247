"""The market-data bus as both its ends use it: addresses, a connected publisher, the fills' topics.

The feed (the package's subscriber) and the simulated exchange (a publisher) both build on this
module, so neither depends on the other.
"""

from __future__ import annotations

import socket
import threading
import uuid
from collections.abc import Callable
from typing import Any
from urllib.parse import urlsplit

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion

__all__ = [
    "CONNECT_TIMEOUT",
    "DEFAULT_PORT",
    "FILLS_TOPIC",
    "KEEPALIVE",
    "account_fills_topic",
    "connect_client",
    "fills_topic",
    "parse_bus_url",
]

DEFAULT_PORT = 1883
CONNECT_TIMEOUT = 5.0
KEEPALIVE = 10


def parse_bus_url(bus_url: str) -> tuple[str, int]:
    """(host, port) of "mqtt://host[:port]"; ``ValueError`` for anything else."""
    parts = urlsplit(bus_url)
    if parts.scheme != "mqtt" or not parts.hostname or parts.path not in ("", "/"):
        raise ValueError(f"expected a bus address mqtt://host:port, not {bus_url!r}")
    try:
        port = parts.port or DEFAULT_PORT
    except ValueError:
        raise ValueError(f"bad port in bus address {bus_url!r}") from None
    return parts.hostname, port


def connect_client(
    bus_url: str,
    name: str,
    timeout: float = CONNECT_TIMEOUT,
    on_connect: Callable[[mqtt.Client], None] | None = None,
    on_message: Callable[[mqtt.Client, Any, mqtt.MQTTMessage], None] | None = None,
    *,
    persistent: bool = False,
    max_queued: int = 0,
) -> mqtt.Client:
    """A paho client connected to the bus, its network thread running and reconnecting on loss:
    for publishers (the simulated market, tests); the feed itself receives natively.

    ``on_connect(client)`` runs on the network thread after every (re)connection, before any
    message of it arrives. Raises ``ConnectionError`` naming host and port when the bus refuses
    or does not answer within ``timeout`` seconds.

    The client id is made once from ``name`` and kept by every reconnection. With ``persistent``
    the bus keeps the client's session (clean_session False): its subscriptions, and its QoS 1
    messages while the link is down, which arrive once the client is back. ``max_queued`` bounds
    the messages waiting to go out (0: no bound); paho takes it only before connecting.
    """
    host, port = parse_bus_url(bus_url)
    client = mqtt.Client(
        CallbackAPIVersion.VERSION2,
        client_id=f"{name}-{uuid.uuid4().hex[:12]}",
        clean_session=not persistent,
        protocol=mqtt.MQTTv311,
    )
    client.connect_timeout = timeout
    client.max_queued_messages_set(max_queued)
    client.reconnect_delay_set(1, 2)
    connected = threading.Event()
    refused: list[str] = []

    def connect_done(c: mqtt.Client, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            refused.append(str(reason))
            connected.set()
            return
        sock = c.socket()
        if isinstance(sock, socket.socket):
            # Small messages go out as they are published, not held for the bus's delayed ACK.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if on_connect is not None:
            on_connect(c)
        connected.set()

    client.on_connect = connect_done
    if on_message is not None:
        client.on_message = on_message
    where = f"{host}:{port}"
    try:
        client.connect(host, port, keepalive=KEEPALIVE)
    except OSError as exc:
        raise ConnectionError(f"cannot reach the message bus at {where}: {exc}") from None
    client.loop_start()
    if not connected.wait(timeout) or refused:
        client.disconnect()
        client.loop_stop()
        why = f"refused the connection ({refused[0]})" if refused else f"did not answer within {timeout:g} s"
        raise ConnectionError(f"the message bus at {where} {why}")
    return client


FILLS_TOPIC = "FIL/v1/{broker_id}/{account_id}"


def fills_topic(broker_id: str, account_id: str) -> str:
    """The topic of one account's fills."""
    for part in (broker_id, account_id):
        if not isinstance(part, str) or not part or any(c in part for c in "/+#*"):
            raise ValueError(f"not an account identifier for a topic: {part!r}")
    return FILLS_TOPIC.format(broker_id=broker_id, account_id=account_id)


def account_fills_topic(account: Any) -> str:
    get = account.get if hasattr(account, "get") else lambda key, default: getattr(account, key, default)
    return fills_topic(get("broker_id", ""), get("account_id", ""))
