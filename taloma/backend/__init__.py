"""The service and market-data back ends."""
