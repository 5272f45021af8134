// vantorel-cli validate: checks a plan file against a session revision, as
// the app does before showing a plan and again before running it.
#include "cli/command.h"
#include "planning/plan_validator.h"

namespace vantorel::cli {
namespace {

nlohmann::json runValidate(const Options& options) {
    auto revision = options.integer("--revision");
    if (!revision) throw UsageError("--revision manquant");
    const std::string& path = options.required(0, "fichier de plan");
    if (options.positional().size() > 1) throw UsageError("un seul fichier de plan attendu");
    nlohmann::json document = readJsonFile(path);
    SafeActionPlan plan;
    try {
        plan = SafeActionPlan::decode(document);
    } catch (const SafePlanDecodingError& error) {
        throw ReportedError("SafePlanDecodingError", "invalidPlanFile", error.what());
    }
    SafePlanValidator::validate(plan, *revision);
    return {{"valid", true}};
}

VANTOREL_CLI_COMMAND("validate", "PLAN.json", "vérifie un plan d’actions contre la révision de la session",
                     {{"--revision", "N", "révision actuelle de la session (obligatoire)"}},
                     runValidate);

}  // namespace
}  // namespace vantorel::cli
