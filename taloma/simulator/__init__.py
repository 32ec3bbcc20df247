"""The simulated broker, for tests and for developing trading programs offline."""

from taloma.simulator.server import BrokerSimulator

__all__ = ["BrokerSimulator"]
