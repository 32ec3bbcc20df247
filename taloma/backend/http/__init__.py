"""Settings of the broker's HTTP service.

Every ``Client`` reads these names when it is built, so a program (or a
test) may change them at run time; the environment overrides the built-in
addresses and version at import.

The deadlines are the defaults of a new ``Client`` (its attributes of the same
names): ``timeout`` (connect, read) seconds for the login, orders, order and
account queries; ``catalogue_timeout`` for the contract lists, whose replies run
to megabytes; ``catalogue_deadline`` seconds for a whole contract list.
"""

import os

api_url_production: str = os.environ.get("TALOMA_API_URL_PRODUCTION", "https://api.taloma.com.tw")
api_url_simulation: str = os.environ.get("TALOMA_API_URL_SIMULATION", "https://sim.taloma.com.tw")
api_ver: str = os.environ.get("TALOMA_API_VER", "v1")

timeout: tuple[float, float] = (5.0, 10.0)
catalogue_timeout: tuple[float, float] = (5.0, 30.0)
catalogue_deadline: float = 180.0

__all__ = [
    "api_url_production",
    "api_url_simulation",
    "api_ver",
    "catalogue_deadline",
    "catalogue_timeout",
    "timeout",
]
