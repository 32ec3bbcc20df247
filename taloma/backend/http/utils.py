"""Helpers shared by the HTTP modules."""

__all__ = ["hash_orderid"]


def hash_orderid(code: str, seqno: str) -> str:
    """The package's identifier of an order: contract code and service sequence number."""
    return f"{code}-{seqno}"
