// Arbitrary text, valid UTF-8 or not, gives a plan that passes the validator
// at its own revision, or a planner error; never a crash. The first byte picks
// the session state so that every routing rule is reachable.
#include "planning/plan_validator.h"
#include "planning/safe_action_planner.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantorel;
    if (size == 0) return 0;
    const std::uint8_t state = data[0];
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    SafeActionPlanner::PlanningContext context;
    context.revision = state & 7;
    if (state & 8) context.selectedTrackIndex = (state >> 4) & 3;
    context.selectedTrackIsMidi = (state & 16) != 0;
    if (state & 32) context.trackCount = 6;
    context.currentTime = (state & 64) ? 32.0 : -4.0;
    context.recentActionCount = (state & 128) ? 12 : 0;

    SafeActionPlanner::isExplicitAction(text);
    SafeActionPlanner::needsMusicalKeyClarification(text);
    SafeActionPlanner::isMidiImprovementFollowUp(text);
    SafeActionPlanner::hasExplicitMusicalKey(text);
    if (auto resolved = SafeActionPlanner::resolveMusicalKeyClarification("crée une bassline", text)) {
        require(SafeActionPlanner::hasExplicitMusicalKey(*resolved));
    }
    try {
        SafeActionPlan plan = SafeActionPlanner::plan(text, context);
        SafePlanValidator::validate(plan, context.revision);
        require(SafeActionPlan::decode(plan.dictionary()) == plan);
    } catch (const SafePlannerError&) {
    }
    return 0;
}
