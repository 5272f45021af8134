"""The simulator's sample library: the catalogue of logic/samples.py over a
small generated library of one-shots and loops named as commercial packs
name them, plus the producer's own User Library/Samples folder when there is
one."""

from __future__ import annotations

import os
import threading

from ..logic.samples import Catalogue, Sample, scan  # noqa: F401
from . import synth

F_MINOR = [41, 44, 48, 51, 53, 56, 60, 63]


def _bar(beats, pitch, step=1.0, duration=0.2, velocity=110, offset=0.0):
    return [[pitch, offset + i * step, duration, velocity] for i in range(int(beats / step))]


# (pack, file stem, instrument, length in beats, notes)
LIBRARY = [
    ("Warehouse Tech House", "WTH_Kick_Tight_01", "kick", 1, [[36, 0, 0.25, 120]]),
    ("Warehouse Tech House", "WTH_Kick_Deep_02", "kick", 1, [[35, 0, 0.3, 110]]),
    ("Warehouse Tech House", "WTH_Clap_Dry_01", "clap", 1, [[39, 0, 0.2, 115]]),
    ("Warehouse Tech House", "WTH_Hat_Closed_01", "hat", 0.5, [[42, 0, 0.1, 100]]),
    ("Warehouse Tech House", "WTH_Hat_Open_02", "hat", 1, [[46, 0, 0.4, 100]]),
    ("Warehouse Tech House", "WTH_Perc_Conga_01", "perc", 1, [[50, 0, 0.2, 105]]),
    ("Warehouse Tech House", "WTH_Top_Loop_124bpm", "drums", 8,
     _bar(8, 42, 0.5, 0.1, 90, 0.5) + _bar(8, 37, 2.0, 0.1, 80, 1.75)),
    ("Warehouse Tech House", "WTH_Shaker_Loop_124bpm", "hat", 4, _bar(4, 42, 0.25, 0.05, 70)),
    ("Warehouse Tech House", "WTH_Bass_Loop_Rolling_Fmin_124bpm", "bass", 8,
     [[29 + (12 if i % 4 == 3 else 0), i * 0.5 + 0.5, 0.3, 110] for i in range(16)]),
    ("Deep Minimal Essentials", "DME_Kick_Sub_01", "kick", 1, [[36, 0, 0.35, 115]]),
    ("Deep Minimal Essentials", "DME_Rim_Short_01", "perc", 0.5, [[37, 0, 0.1, 100]]),
    ("Deep Minimal Essentials", "DME_Chord_Stab_Fmin", "chords", 2,
     [[53, 0, 0.5, 100], [56, 0, 0.5, 100], [60, 0, 0.5, 100], [63, 0, 0.5, 100]]),
    ("Deep Minimal Essentials", "DME_Keys_Loop_Fmin_124bpm", "chords", 8,
     [[p, s, 1.5, 90] for s in (0.0, 4.0) for p in (53, 56, 60)]),
    ("Deep Minimal Essentials", "DME_Lead_Pluck_Loop_Fmin_124bpm", "pluck", 4,
     [[F_MINOR[(i * 3) % 8] + 12, i * 0.5, 0.25, 100] for i in range(8)]),
    ("Festival FX Toolkit", "FFX_Riser_White_Noise_8bar_124bpm", "riser", 32, [[60, 0, 32, 110]]),
    ("Festival FX Toolkit", "FFX_Riser_Tonal_4bar_124bpm", "riser", 16, [[65, 0, 16, 110]]),
    ("Festival FX Toolkit", "FFX_Impact_Boom_01", "impact", 4, [[36, 0, 1, 120]]),
    ("Festival FX Toolkit", "FFX_Sweep_Down_01", "riser", 4, [[72, 0, 4, 90]]),
    ("Vocal Chops Vol 1", "VC1_Vocal_Chop_Hey_Fmin", "vocal", 1, [[65, 0, 0.4, 110]]),
    ("Vocal Chops Vol 1", "VC1_Vox_Phrase_Ahh_Fmin_124bpm", "vocal", 8,
     [[65, 0, 1.5, 100], [68, 2, 1.0, 95], [72, 4, 1.5, 100], [70, 6, 1.5, 90]]),
]
LIBRARY_TEMPO = 124.0
_PREPARING = threading.Lock()



class SampleLibrary(Catalogue):
    def __init__(self, generated_root: str, user_root: str | None):
        Catalogue.__init__(self, user_root)
        self.generated_root = generated_root

    def ensure(self) -> None:
        """Generates the bundled library (once per cache folder) and scans
        the folders, on first use: most sessions never search."""
        with _PREPARING:
            if not self.ready:
                self._prepare()
                self.ready = True

    def _prepare(self) -> None:
        for pack, stem, instrument, beats, notes in LIBRARY:
            path = os.path.join(self.generated_root, pack, stem + ".wav")
            render = {"name": stem, "instrument": instrument, "lengthBeats": beats,
                      "notes": notes, "level": 0.7}
            synth.render_to_file(render, LIBRARY_TEMPO, path)
        found = scan(self.generated_root, None)
        if self.user_root and os.path.isdir(self.user_root):
            found.extend(scan(self.user_root, "User Library"))
        self.samples = found
        self.by_id = {sample.id: sample for sample in found}
