# A MIDI note as both backends hold it. Loaded inside Live, so it stays valid
# Python 3.7.


class Note(object):
    __slots__ = ("pitch", "start", "duration", "velocity", "mute", "probability")

    def __init__(self, pitch, start, duration, velocity=100.0, mute=False, probability=1.0):
        self.pitch = int(pitch)
        self.start = float(start)
        self.duration = float(duration)
        self.velocity = float(velocity)
        self.mute = bool(mute)
        self.probability = float(probability)

    @classmethod
    def from_request(cls, data):
        return cls(data["pitch"], data["startTime"], data["duration"], data["velocity"],
                   data["mute"], data["probability"])

    def to_json(self):
        return {"pitch": self.pitch, "startTime": round(self.start, 6),
                "duration": round(self.duration, 6), "velocity": round(self.velocity, 3),
                "mute": self.mute, "probability": self.probability}

    def copy(self):
        return Note(self.pitch, self.start, self.duration, self.velocity, self.mute,
                    self.probability)
