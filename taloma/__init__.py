"""taloma: trading interface to a Taiwanese brokerage, with a native C++ core."""

__version__ = "0.1.0"
