// vantorel-cli prompt: the exact prompt an agent would receive for a
// question, without starting any agent.
#include "agent/embedded_agent_client.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runPrompt(const Options& options) {
    auto path = options.value("--context");
    if (!path) throw UsageError("option --context manquante");
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
    nlohmann::json compacted = EmbeddedAgentClient::compactedContext(context, question);
    return {{"prompt",
             EmbeddedAgentClient::buildPrompt(question, EmbeddedAgentClient::serialisedContext(compacted), history)}};
}

VANTOREL_CLI_COMMAND("prompt", "QUESTION", "construit le prompt de l’agent pour une question",
                     {{"--context", "CONTEXTE.json", "contexte Live au format JSON (obligatoire)"},
                      {"--history", "HISTORIQUE.json", "tours de conversation précédents"}},
                     runPrompt);

}  // namespace
}  // namespace vantorel::cli
