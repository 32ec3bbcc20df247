"""The market-data feed's receiving path: libmosquitto's network thread, MessagePack payloads decoded
into records, callbacks on one delivery thread."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, overload

from typing_extensions import disjoint_base

CAPACITY: int

@disjoint_base
class Receiver:
    """A bus connection whose messages are decoded into records and handed to callbacks on one
    delivery thread.

    The hooks run on the delivery thread: ``on_connect()`` after every reconnection (the bus
    is asked again for what the session lost), ``on_disconnect(reason)`` when the bus is lost,
    ``on_refused(topic, arrival_topic, exc)`` for a payload that does not decode and
    ``on_error(callback, topic, exc)`` for a callback that raised.
    """

    def __init__(
        self,
        on_connect: Callable[[], object] | None = None,
        on_disconnect: Callable[[str], object] | None = None,
        on_refused: Callable[[str, str, BaseException], object] | None = None,
        on_error: Callable[[Callable[..., Any], str, BaseException], object] | None = None,
    ) -> None: ...
    def connect(
        self,
        host: str,
        port: int,
        client_id: str,
        clean_session: bool = True,
        keepalive: int = 10,
        timeout: float = 5.0,
    ) -> None: ...
    def subscribe(self, filter: str, qos: int = 0) -> int: ...
    def unsubscribe(self, filter: str, /) -> int: ...
    def wait_granted(self, mid: int, timeout: float, /) -> bool: ...
    def route(
        self,
        filter: str,
        topic: str,
        decoder: Callable[..., Any],
        callbacks: Iterable[Callable[[str, Any], object]],
        content: Sequence[tuple[str, str]] | None = None,
    ) -> None: ...
    def unroute(self, filter: str, /) -> None: ...
    def limit_routes(self, topics: int, nbytes: int, /) -> None: ...
    def cached_routes(self) -> list[str]: ...
    def close(self) -> None: ...
    def on_delivery_thread(self) -> bool: ...
    @property
    def stats(self) -> dict[str, int]: ...
    @property
    def connected(self) -> bool: ...
    @property
    def closed(self) -> bool: ...

@overload
def decode_payload(
    payload: bytes, decoder: Callable[..., Any], content: Sequence[tuple[str, str]] | None = None
) -> Any: ...
@overload
def decode_payload(
    payload: list[bytes], decoder: Callable[..., Any], content: Sequence[tuple[str, str]] | None = None
) -> list[Any]:
    """The record (or, without content, ``decoder(**fields)``) of one MessagePack payload, as a
    receiver decodes it; given a list of payloads, the list of their records."""
