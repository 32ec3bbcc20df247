"""Shared utilities: the package logger."""

import logging

log = logging.getLogger("taloma")

__all__ = ["log"]
