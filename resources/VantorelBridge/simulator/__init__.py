"""The simulated Live Set behind `python3 -m VantorelBridge`: the same HTTP
API as inside Live, over an in-memory set loaded from a JSON file."""
