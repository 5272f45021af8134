// SafePlanValidator: the safety fence around both planners. No plan reaches
// Live without passing validate() against the session revision that is
// current now: it checks the revision, the plan's shape, and that every step
// carries exactly the parameters its command needs, within fixed limits.
// It runs when a plan is prepared and again when the producer confirms it.
//
// It changes nothing and repairs nothing (no clamping, no defaults): it
// throws the first violation it finds. Lengths of names and queries are
// counted in user-perceived characters.
#pragma once

#include "planning/plan.h"

#include <cstdint>

namespace vantorel::SafePlanValidator {

// Limits of the fence.
inline constexpr std::size_t maxActions = 8;
inline constexpr std::size_t maxNotes = 512;
inline constexpr double maxClipLength = 4096;  // beats
inline constexpr std::size_t maxSections = 12;
inline constexpr std::int64_t maxArrangementBars = 256;
inline constexpr std::size_t maxNameLength = 96;
inline constexpr std::size_t maxSectionNameLength = 48;
inline constexpr std::size_t maxSampleQueryLength = 300;

// Throws SafePlanValidationError: staleRevision first (whatever else is
// wrong), then invalidPlan for the plan's own fields, then invalidAction for
// the first step that breaks its command's rule.
void validate(const SafeActionPlan& plan, std::int64_t currentRevision);

// The step's rule alone; true when it holds.
bool isValidAction(const SafePlanAction& action);

}  // namespace vantorel::SafePlanValidator
