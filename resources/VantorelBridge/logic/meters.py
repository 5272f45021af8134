# Levels a track showed while the transport played. Loaded inside Live, so
# it stays valid Python 3.7.


class MeterWindow(object):
    """Levels observed while the transport played (linear, 1.0 = full scale)."""

    def __init__(self, samples=0, observed=0.0, current=0.0, maximum=0.0, average=0.0):
        self.samples = int(samples)
        self.observed = float(observed)
        self.current = float(current)
        self.maximum = float(maximum)
        self.total = float(average) * self.samples

    def add(self, level, seconds):
        self.samples += 1
        self.observed += seconds
        self.current = level
        self.maximum = max(self.maximum, level)
        self.total += level

    def to_json(self):
        average = self.total / self.samples if self.samples else 0.0
        return {"samples": self.samples, "observedSeconds": round(self.observed, 3),
                "current": round(self.current, 4), "maximum": round(self.maximum, 4),
                "average": round(average, 4)}
