#include "planning/local_plan.h"

#include "common/uuid.h"

namespace vantorel::SafeActionPlanner {

SafePlanAction localAction(SafeActionCommand command, std::string title, std::string detail, std::string_view mode,
                           bool reversible) {
    SafePlanAction action;
    action.id = uuid::upper();
    action.command = command;
    action.title = std::move(title);
    action.detail = std::move(detail);
    action.mode = std::string(mode);
    action.reversible = reversible;
    return action;
}

SafeActionPlan localPlan(std::string title, std::string intent, std::int64_t revision,
                         std::vector<SafePlanAction> actions) {
    SafeActionPlan plan;
    plan.planId = uuid::upper();
    plan.title = std::move(title);
    plan.intent = std::move(intent);
    plan.expectedRevision = revision;
    plan.source = std::string(localPlannerSource);
    plan.actions = std::move(actions);
    return plan;
}

}  // namespace vantorel::SafeActionPlanner
