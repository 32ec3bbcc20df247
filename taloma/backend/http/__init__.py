"""Settings of the broker's HTTP service.

Every ``Client`` reads these three names when it is built, so a program (or a
test) may change them at run time; the environment overrides the built-in
values at import.
"""

import os

api_url_production: str = os.environ.get("TALOMA_API_URL_PRODUCTION", "https://api.taloma.com.tw")
api_url_simulation: str = os.environ.get("TALOMA_API_URL_SIMULATION", "https://sim.taloma.com.tw")
api_ver: str = os.environ.get("TALOMA_API_VER", "v1")

__all__ = ["api_url_production", "api_url_simulation", "api_ver"]
