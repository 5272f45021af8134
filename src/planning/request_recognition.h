// Request recognition: the phrase tests and extractors the local planner
// routes on. Everything here reads the normalised request (folded, lower
// case, see common/text.h) except requestedName, which keeps the producer's
// spelling. Every phrase test is a plain substring test, so "lance" also
// matches inside "balance" and "stop" inside "stopper": the phrase lists are
// fixed and tuned with that in mind, do not "fix" them with word boundaries.
//
// The public entry points are in planning/safe_action_planner.h; this header
// exposes the pieces so that they can be tested one by one.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vantorel::SafeActionPlanner {

// A key named in the request.
struct MusicalKey {
    int root = 0;        // pitch class 0–11, C = 0
    bool minor = false;  // minor wins when both "minor" and "major" words are present
    std::string name;    // display name of the root + " minor"/" major", e.g. "F♯ minor"

    bool operator==(const MusicalKey&) const = default;
};

// The request folded case- and diacritic-insensitively and lower-cased,
// without trimming (the form the predicates test).
std::string normalizedRequest(std::string_view text);

bool containsAny(std::string_view text, std::initializer_list<std::string_view> phrases);

// Recognisers, on normalised text.
bool isUndoRequest(std::string_view normalized);
bool isMidiImprovementRequest(std::string_view normalized);
bool isOrganiseRequest(std::string_view normalized);
// Only changes the organisation plan's intent.
bool isGroupsRequest(std::string_view normalized);
// A phrase naming a MIDI part (pattern, bassline, drums, chords…).
bool mentionsMidiPart(std::string_view normalized);
bool mentionsPitchedPart(std::string_view normalized);
bool mentionsDrums(std::string_view normalized);
bool mentionsChords(std::string_view normalized);
bool hasCreationVerb(std::string_view normalized);
bool mentionsSelectedTrack(std::string_view normalized);
bool mentionsRollingStyle(std::string_view normalized);
// "écoute le master", "mesure la loudness", "listen to the master"…
bool isMasterListenRequest(std::string_view normalized);

// Extractors, on normalised text.

// The key named in the text: a "minor"/"major" word and a root token
// (sharps and flats first, then solfège, then letters; "♯" reads as "#" and
// "♭" as "b", so the display names the planner writes read back).
std::optional<MusicalKey> explicitKey(std::string_view normalized);
// "16 mesures", "8 bars": 1–99.
std::optional<int> barsCount(std::string_view normalized);
// "-6 dB", "-4,5 db": accepted within −70…6. A typographic minus sign
// (U+2212) reads as "-": taking it for a positive value would raise the fader.
std::optional<double> decibels(std::string_view normalized);
// "sur 12 mesures", "4 bars": any count, for the caller to bound.
std::optional<long long> listenBars(std::string_view normalized);
// "à partir de la mesure 17", "from bar 9": the bar number, 1 at least.
std::optional<long long> listenStartBar(std::string_view normalized);
// "tempo 128", "124,5 bpm": accepted within 40…240.
std::optional<double> tempoValue(std::string_view normalized);
// The name after "nommée"/"appelle"… or a quoted name after "en"/"to", read
// on the trimmed request as typed; at most 96 characters.
std::optional<std::string> requestedName(std::string_view trimmedPrompt);
// (field, enabled): ("arm", false) for "désarme", ("mute", true) for "mute"…
std::optional<std::pair<std::string, bool>> trackState(std::string_view normalized);
// "humanize", "groove", "variation" or "creative".
std::string midiTransformation(std::string_view normalized);

}  // namespace vantorel::SafeActionPlanner
