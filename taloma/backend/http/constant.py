"""Base classes of the service-code converters.

A code class declares member name -> service code as class attributes::

    class Action(Constant):
        Buy = "B"
        Sell = "S"

``Action(generic)`` is then a converter: ``conv.Buy == "B"`` (generic member
name to code) and ``conv.B == generic.Buy`` (code back to the generic value).
"""

from __future__ import annotations

from typing import Any


class Constant:
    """Base of the code classes; an instance converts one generic property."""

    def __init__(self, generic: Any) -> None:
        members = self.members()
        # Codes go last so that a code spelled like a member name ("ROD")
        # leads back to the generic value, which equals the code text anyway.
        for name, code in members:
            setattr(self, name, code)
        for name, code in members:
            setattr(self, code, getattr(generic, name))
        self._generic = generic

    @classmethod
    def members(cls) -> list[tuple[str, str]]:
        """Member name and code pairs, in declaration order."""
        return [(k, v) for k, v in vars(cls).items() if not k.startswith("_") and isinstance(v, str)]

    def __repr__(self) -> str:
        return f"{type(self).__name__}({getattr(self._generic, '__name__', self._generic)})"


class BaseProps:
    """Base of a converter set: a class whose attributes are converters."""

    @classmethod
    def keys(cls) -> list[str]:
        return [k for k, v in vars(cls).items() if isinstance(v, Constant)]
