// SafeActionPlanner: the local planner. It turns one plain-language request,
// French or English, into a SafeActionPlan without any model or network: a
// fixed cascade of phrase tests on the normalised request decides the intent
// (the first that matches wins), and small extractors read the numbers and
// names the plan needs. It never talks to Live; everything it knows of the
// session comes in through PlanningContext.
//
// Every function is pure (stateless, safe from any thread). Plans get fresh
// upper-case UUIDs for the plan and each step, `expectedRevision` =
// `revision` and `source` "local-safety-planner". The planner does not
// validate its plans: the caller runs SafePlanValidator::validate against the
// current revision before showing one.
//
// Besides `plan`, the cheap predicates below let the app and the agent decide
// whether a message is an action request at all, whether a MIDI request still
// needs a key, and how to fold the producer's key answer back into the
// request.
#pragma once

#include "planning/plan.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorel::SafeActionPlanner {

// What the planner knows of the session, gathered by the app from the live
// context when a plan is prepared.
struct PlanningContext {
    std::int64_t revision = 0;                      // copied into expectedRevision
    std::optional<std::int64_t> selectedTrackIndex;  // 0-based index of the selected track
    bool selectedTrackIsMidi = false;
    std::optional<std::int64_t> trackCount;  // tracks in the Live Set; the index of a new track
    double currentTime = 0;                  // playhead in beats; negative reads as 0
    std::int64_t recentActionCount = 0;      // reversible actions accepted in the last 10 minutes
    double beatsPerBar = 4;                  // of the song's time signature
    // The arrangement's locators, by name and time in beats.
    std::vector<std::pair<std::string, double>> locators;
};

// The plan for `prompt`. Throws SafePlannerError:
// - emptyPrompt for a blank request;
// - missingMusicalKey for a bassline or chords without a key (ask first with
//   needsMusicalKeyClarification);
// - nothingToUndo, midiTrackNotSelected, targetTrackUnknown when the request
//   is recognised but the session state it needs is missing;
// - listenLengthOutOfRange for a master capture outside 1…32 bars.
SafeActionPlan plan(std::string_view prompt, const PlanningContext& context);
SafeActionPlan plan(std::string_view prompt, std::int64_t revision, std::optional<std::int64_t> selectedTrackIndex,
                    bool selectedTrackIsMidi, std::optional<std::int64_t> trackCount, double currentTime,
                    std::int64_t recentActionCount);

// The message asks to act (to be routed to `plan`) rather than being a
// question to answer.
bool isExplicitAction(std::string_view text);

// A bassline or chord creation request that names no key. Drum requests
// never need one.
bool needsMusicalKeyClarification(std::string_view text);

// The original request completed with the key found in the producer's reply
// ("crée une bassline · tonalité F minor"), which `plan` then reads with an
// explicit key; nothing when the original needs no key or the reply names
// none. A reply "… je valide : F minor …" is read after the marker, and
// before "je ne retiens pas" when it has that.
std::optional<std::string> resolveMusicalKeyClarification(std::string_view originalPrompt, std::string_view reply);

// A follow-up wording asking to improve a MIDI clip ("rends-la plus
// groovy"); the app turns it into an improvement request for the open clip.
bool isMidiImprovementFollowUp(std::string_view text);

// The text names a key ("fa mineur", "F♯ minor").
bool hasExplicitMusicalKey(std::string_view text);

}  // namespace vantorel::SafeActionPlanner
