// vantorel-cli ground: an agent's answer corrected against the observed
// facts of a live context, as the producer would see it.
#include "agent/embedded_agent_client.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runGround(const Options& options) {
    auto path = options.value("--context");
    if (!path) throw UsageError("option --context manquante");
    auto answer = options.value("--answer");
    if (!answer) throw UsageError("option --answer manquante");
    const std::string& question = options.required(0, "question");
    if (options.positional().size() > 1) throw UsageError("une seule question attendue");
    nlohmann::json context = readJsonFile(*path);
    if (!context.is_object()) {
        throw ReportedError("CommandLineError", "invalidContext",
                            "Le fichier " + *path + " doit contenir un objet JSON de contexte.");
    }
    std::vector<RemoteChatTurn> history;
    if (auto historyPath = options.value("--history")) {
        history = EmbeddedAgentClient::historyFromJson(readJsonFile(*historyPath));
    }
    return {{"answer", EmbeddedAgentClient::groundingAdjustedAnswer(
                           *answer, question, EmbeddedAgentClient::compactedContext(context, question), history)}};
}

VANTOREL_CLI_COMMAND("ground", "QUESTION", "corrige une réponse d’agent d’après le contexte observé",
                     {{"--context", "CONTEXTE.json", "contexte Live au format JSON (obligatoire)"},
                      {"--history", "HISTORIQUE.json", "tours de conversation précédents"},
                      {"--answer", "TEXTE", "réponse de l’agent à corriger (obligatoire)"}},
                     runGround);

}  // namespace
}  // namespace vantorel::cli
