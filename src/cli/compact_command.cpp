// vantorel-cli compact: the live context as the agent's prompt carries it,
// with detail kept for the selected track and the one the question names.
#include "agent/context_compaction.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runCompact(const Options& options) {
    auto path = options.value("--context");
    if (!path) throw UsageError("option --context manquante");
    if (options.positional().size() > 1) throw UsageError("une seule question attendue");
    nlohmann::json context = readJsonFile(*path);
    if (!context.is_object()) {
        throw ReportedError("CommandLineError", "invalidContext",
                            "Le fichier " + *path + " doit contenir un objet JSON de contexte.");
    }
    std::optional<std::string_view> question;
    if (!options.positional().empty()) question = options.positional()[0];
    return EmbeddedAgentClient::compactedContext(context, question);
}

VANTOREL_CLI_COMMAND("compact", "[QUESTION]", "compacte un contexte Live comme pour le prompt de l’agent",
                     {{"--context", "CONTEXTE.json", "contexte Live au format JSON (obligatoire)"}},
                     runCompact);

}  // namespace
}  // namespace vantorel::cli
