// vantorel-cli stages: the six production stages of a project analysis (the
// `projectAnalysis` object of the bridge's /v1/context), judged by the
// milestone engine alone: no stored history, nothing written.
#include "cli/command.h"
#include "project/milestone_engine.h"

namespace vantorel::cli {
namespace {

nlohmann::json runStages(const Options& options) {
    auto project = options.value("--project");
    if (!project) throw UsageError("option --project manquante");
    const std::string& analysisPath = options.required(0, "fichier d’analyse JSON");
    if (options.positional().size() > 1) throw UsageError("un seul fichier d’analyse attendu");

    nlohmann::json analysis = readJsonFile(analysisPath);
    if (!analysis.is_object()) {
        throw ReportedError("CommandLineError", "invalidAnalysis",
                            "Le fichier " + analysisPath + " doit contenir un objet JSON d’analyse de projet.");
    }
    std::optional<nlohmann::json> measurement;
    if (auto path = options.value("--measurement")) {
        measurement = readJsonFile(*path);
        if (!measurement->is_object()) {
            throw ReportedError("CommandLineError", "invalidMeasurement",
                                "Le fichier " + *path + " doit contenir un objet JSON de mesure audio.");
        }
    }
    return VantorelMilestoneEngine::evaluate(*project, analysis, measurement).dictionary();
}

VANTOREL_CLI_COMMAND("stages", "ANALYSE.json", "évalue les six étapes de production d’une analyse de projet",
                     {{"--project", "NOM", "nom du projet (obligatoire)"},
                      {"--measurement", "MESURE.json", "mesure audio du master"}},
                     runStages);

}  // namespace
}  // namespace vantorel::cli
