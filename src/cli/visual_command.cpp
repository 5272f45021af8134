// vantorel-cli visual: the picture of the project a technical answer would
// carry for this question, or null when it carries none.
#include "app/project_visual.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runVisual(const Options& options) {
    if (options.positional().size() != 2) throw UsageError("une question et un fichier de contexte attendus");
    const std::string& path = options.positional()[1];
    nlohmann::json context = readJsonFile(path);
    if (!context.is_object()) {
        throw ReportedError("CommandLineError", "invalidContext",
                            "Le fichier " + path + " doit contenir un objet JSON de contexte.");
    }
    auto payload = projectVisualPayload(options.positional()[0], context);
    return payload ? std::move(*payload) : nlohmann::json(nullptr);
}

VANTOREL_CLI_COMMAND("visual", "QUESTION CONTEXTE.json",
                     "image du projet jointe à une réponse technique (null sans image)", {}, runVisual);

}  // namespace
}  // namespace vantorel::cli
