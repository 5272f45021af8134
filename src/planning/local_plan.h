// How the local planner stamps what it builds: a fresh upper-case UUID for
// the plan and for every step, the plan's revision, and its source.
#pragma once

#include "planning/plan.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::SafeActionPlanner {

inline constexpr std::string_view readMode = "read";
inline constexpr std::string_view writeMode = "write";

SafePlanAction localAction(SafeActionCommand command, std::string title, std::string detail, std::string_view mode,
                           bool reversible);

SafeActionPlan localPlan(std::string title, std::string intent, std::int64_t revision,
                         std::vector<SafePlanAction> actions);

}  // namespace vantorel::SafeActionPlanner
