// vantorel-cli plan: the plan the local planner builds for a request, in the
// dictionary form the panel shows, with the session state given as options.
#include "cli/command.h"
#include "planning/safe_action_planner.h"

namespace vantorel::cli {
namespace {

nlohmann::json runPlan(const Options& options) {
    const std::string& prompt = options.required(0, "demande");
    if (options.positional().size() > 1) throw UsageError("une seule demande attendue (mettez-la entre guillemets)");
    SafeActionPlanner::PlanningContext context;
    context.revision = options.integer("--revision").value_or(0);
    context.selectedTrackIndex = options.integer("--selected-track");
    context.selectedTrackIsMidi = options.has("--selected-midi");
    context.trackCount = options.integer("--track-count");
    context.currentTime = options.number("--time").value_or(0);
    context.recentActionCount = options.integer("--recent").value_or(0);
    context.beatsPerBar = options.number("--beats-per-bar").value_or(4);
    if (auto path = options.value("--locators")) {
        // [{"name": "Drop", "time": 64}, …], as the session's locators.
        const nlohmann::json locators = readJsonFile(*path);
        if (!locators.is_array()) throw UsageError("--locators attend un tableau JSON de repères");
        for (const auto& locator : locators) {
            if (!locator.is_object() || !locator.value("name", nlohmann::json()).is_string() ||
                !locator.value("time", nlohmann::json()).is_number()) {
                throw UsageError("chaque repère de --locators a un « name » texte et un « time » en temps");
            }
            context.locators.emplace_back(locator["name"].get<std::string>(), locator["time"].get<double>());
        }
    }
    return SafeActionPlanner::plan(prompt, context).dictionary();
}

VANTOREL_CLI_COMMAND("plan", "DEMANDE", "prépare le plan d’actions local d’une demande",
                     {{"--revision", "N", "révision de la session"},
                      {"--selected-track", "I", "index de la piste sélectionnée"},
                      {"--selected-midi", "", "la piste sélectionnée est une piste MIDI"},
                      {"--track-count", "N", "nombre de pistes du Live Set"},
                      {"--time", "TEMPS", "position de lecture, en temps"},
                      {"--recent", "N", "nombre d’actions récentes"},
                      {"--beats-per-bar", "N", "temps par mesure (4 par défaut)"},
                      {"--locators", "REPÈRES.json", "repères de l’arrangement : [{\"name\": …, \"time\": …}]"}},
                     runPlan);

}  // namespace
}  // namespace vantorel::cli
