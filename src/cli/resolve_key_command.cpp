// vantorel-cli resolve-key: the request completed with the key the producer
// gave in answer to the key question, or null when the answer names none.
#include "cli/command.h"
#include "planning/safe_action_planner.h"

namespace vantorel::cli {
namespace {

nlohmann::json runResolveKey(const Options& options) {
    const std::string& original = options.required(0, "demande d’origine");
    const std::string& reply = options.required(1, "réponse");
    if (options.positional().size() > 2) throw UsageError("deux textes attendus : la demande puis la réponse");
    auto resolved = SafeActionPlanner::resolveMusicalKeyClarification(original, reply);
    return {{"prompt", resolved ? nlohmann::json(*resolved) : nlohmann::json(nullptr)}};
}

VANTOREL_CLI_COMMAND("resolve-key", "DEMANDE RÉPONSE", "complète une demande MIDI avec la tonalité donnée en réponse", {}, runResolveKey);

}  // namespace
}  // namespace vantorel::cli
