// The MIDI the planner writes itself, so that the plan shown to the producer
// already holds the exact clip that will be created. Deterministic: the same
// request always gives the same notes. Notes start from the clip's beat 0,
// 4 beats per bar; a count of 0 bars gives no notes. The planner clamps bars
// to 1…8 before calling.
#pragma once

#include "planning/plan.h"
#include "planning/request_recognition.h"

#include <vector>

namespace vantorel::SafeActionPlanner {

// Four-on-the-floor kick, off-beat closed hats, claps on 2 and 4, an open
// hat at the end of each bar: 11 notes per bar.
std::vector<SafeMidiNote> drumPattern(int bars);

// Off-beat bassline on rootPitch (key root + 36), the last note of every odd
// bar a minor third up. The rolling variant adds a ghost note at 2.25.
std::vector<SafeMidiNote> bassPattern(int bars, int rootPitch, bool rolling);

// Four triads at the start of each bar: i–VI–III–VII in minor, I–IV–vi–V in
// major, from the key root + 48, roots folded below 61.
std::vector<SafeMidiNote> chordPattern(int bars, const MusicalKey& key);

}  // namespace vantorel::SafeActionPlanner
