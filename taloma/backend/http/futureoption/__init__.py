"""Futures and options over the broker's HTTP service."""
