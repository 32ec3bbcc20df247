"""Stocks over the broker's HTTP service."""
