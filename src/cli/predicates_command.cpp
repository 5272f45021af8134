// vantorel-cli predicates: how the planner's quick tests read a message (is
// it an action, does it still need a key, is it a MIDI follow-up).
#include "cli/command.h"
#include "planning/safe_action_planner.h"

namespace vantorel::cli {
namespace {

nlohmann::json runPredicates(const Options& options) {
    const std::string& text = options.required(0, "texte");
    if (options.positional().size() > 1) throw UsageError("un seul texte attendu (mettez-le entre guillemets)");
    return {
        {"isExplicitAction", SafeActionPlanner::isExplicitAction(text)},
        {"needsMusicalKeyClarification", SafeActionPlanner::needsMusicalKeyClarification(text)},
        {"isMidiImprovementFollowUp", SafeActionPlanner::isMidiImprovementFollowUp(text)},
        {"hasExplicitMusicalKey", SafeActionPlanner::hasExplicitMusicalKey(text)},
    };
}

VANTOREL_CLI_COMMAND("predicates", "TEXTE", "indique comment le planificateur lit un message", {}, runPredicates);

}  // namespace
}  // namespace vantorel::cli
