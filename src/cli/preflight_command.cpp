// vantorel-cli preflight: the answer given without any agent, if the
// question has one (a fixed answer or an action line), else null.
#include "agent/embedded_agent_client.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runPreflight(const Options& options) {
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
    auto answer = EmbeddedAgentClient::deterministicPreflightAnswer(
        question, EmbeddedAgentClient::compactedContext(context, question), history);
    return {{"answer", answer ? nlohmann::json(*answer) : nlohmann::json(nullptr)}};
}

VANTOREL_CLI_COMMAND("preflight", "QUESTION", "réponse déterministe à une question, sans agent (null sinon)",
                     {{"--context", "CONTEXTE.json", "contexte Live au format JSON (obligatoire)"},
                      {"--history", "HISTORIQUE.json", "tours de conversation précédents"}},
                     runPreflight);

}  // namespace
}  // namespace vantorel::cli
