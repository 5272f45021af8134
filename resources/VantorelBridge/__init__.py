# VantorelBridge: the Remote Script through which Vantorel reads and changes
# the open Live Set over a loopback HTTP API. Live calls create_instance();
# outside Live, `python3 -m VantorelBridge` serves the same API over a
# simulated Live Set. Loaded inside Live, so it stays valid Python 3.7.
from .surface import BRIDGE_VERSION, VantorelSurface

__all__ = ["BRIDGE_VERSION", "create_instance"]


def create_instance(c_instance):
    return VantorelSurface(c_instance)
