# Building an Arrangement from a source loop, on plain data: which scene is
# the source, which tracks play in each 8-bar phase, which of a track's
# session clips each phase takes. Both backends place the clips their own
# way. Loaded inside Live, so it stays valid Python 3.7.
from ..protocol import refusal

ALL = ["kick", "clap", "snare", "hat", "percussion", "drums", "bass", "harmony", "music", "lead",
       "vocal", "fx", "unknown"]
ALL_WITHOUT_VOCAL = [role for role in ALL if role != "vocal"]
GROOVE = ["kick", "clap", "snare", "hat", "percussion", "drums", "bass", "harmony", "music"]
BUILD_1 = ["kick", "hat", "percussion", "drums", "harmony", "music", "lead", "vocal", "fx"]
BUILD = ["kick", "hat", "percussion", "harmony", "music", "lead", "vocal", "fx"]
BREAK = ["harmony", "music", "lead", "vocal", "fx"]
BUILD_2 = ["hat", "percussion", "harmony", "music", "lead", "vocal", "fx"]
OUTRO_A = ["kick", "clap", "hat", "percussion", "drums", "bass", "fx"]
OUTRO_B = ["kick", "hat", "percussion", "drums", "fx"]

# The club template: 128 bars, about four minutes at 128 BPM.
CLUB_TEMPLATE = [
    {"name": "Intro", "bars": 16, "phaseRoles": [["kick", "hat"],
                                                 ["kick", "clap", "hat", "percussion", "drums"]]},
    {"name": "Groove", "bars": 16, "phaseRoles": [["kick", "clap", "hat", "percussion", "drums", "bass"],
                                                  GROOVE]},
    {"name": "Build 1", "bars": 8, "phaseRoles": [BUILD_1]},
    {"name": "Drop 1", "bars": 24, "phaseRoles": [ALL, ALL_WITHOUT_VOCAL, ALL]},
    {"name": "Break", "bars": 16, "phaseRoles": [BREAK, BUILD_2]},
    {"name": "Build 2", "bars": 8, "phaseRoles": [BUILD]},
    {"name": "Drop 2", "bars": 24, "phaseRoles": [ALL, ALL_WITHOUT_VOCAL, ALL]},
    {"name": "Outro", "bars": 16, "phaseRoles": [OUTRO_A, OUTRO_B]},
]
PHASE_BARS = 8



def source_scene(scene_count, has_clips, selected, requested):
    """The scene holding the source loop: the one asked for, else the
    selected scene when it has clips, else the first scene with clips.
    `has_clips(scene)` tells whether a scene holds a clip with content."""
    if requested is not None:
        if requested >= scene_count:
            raise refusal("scene_missing", index=requested, count=scene_count)
        if not has_clips(requested):
            raise refusal("no_source_scene", scene=requested + 1)
        return requested
    if selected is not None and selected < scene_count and has_clips(selected):
        return selected
    for index in range(scene_count):
        if has_clips(index):
            return index
    raise refusal("no_source_loop")


def phases(sources, roles, sections):
    """[(section name, [track index…])…], one entry per 8-bar phase, for the
    tracks `sources` whose clip in the source scene has content."""
    result = []
    previous = []
    for section in sections:
        for phase_roles in section["phaseRoles"]:
            wanted = set(phase_roles)
            chosen = [index for index in sources if roles[index] in wanted]
            if not chosen:
                # Never a silent phase: carry the previous layers on, or the
                # whole loop when the first phase finds none of its roles.
                chosen = previous or list(sources)
            result.append((section["name"], chosen))
            previous = chosen
    return result


def placements(phase_list, variation_counts, start, phase_beats):
    """[(track index, variation index, start beat)…]: tracks with other
    session clips rotate to them once a layer has played its source twice."""
    rotation = {}
    placed = []
    position = start
    for _, track_indices in phase_list:
        for index in track_indices:
            count = rotation.get(index, 0)
            rotation[index] = count + 1
            variations = variation_counts[index]
            placed.append((index, (count // 2) % variations if variations > 1 else 0, position))
        position += phase_beats
    return placed


def arrangement_start(end, bar):
    """After whatever the Arrangement holds, rounded up to a bar."""
    return -(-end // bar) * bar if end > 0 else 0.0
