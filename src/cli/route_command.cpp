// vantorel-cli route: what the app does with an answer: the planner command
// when it is an allowed action line, and the text the producer reads.
#include "agent/deterministic_answers.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runRoute(const Options& options) {
    auto answer = options.value("--answer");
    if (!answer) throw UsageError("option --answer manquante");
    if (options.positional().size() > 1) throw UsageError("une seule question attendue");
    std::optional<std::string> question;
    if (!options.positional().empty()) question = options.positional()[0];

    auto command = EmbeddedAgentClient::routedActionCommand(
        *answer, question ? std::optional<std::string_view>(*question) : std::nullopt);
    // Without a question there is nothing to hold a pitched command against.
    std::string safe = question ? EmbeddedAgentClient::safetyAdjustedAnswer(*answer, *question) : *answer;
    return {{"command", command ? nlohmann::json(*command) : nlohmann::json(nullptr)},
            {"shown", EmbeddedAgentClient::userFacingAnswer(safe)}};
}

VANTOREL_CLI_COMMAND("route", "[QUESTION]", "commande à planifier et texte affiché pour une réponse d’agent",
                     {{"--answer", "TEXTE", "réponse de l’agent (obligatoire)"}},
                     runRoute);

}  // namespace
}  // namespace vantorel::cli
