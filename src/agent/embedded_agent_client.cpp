#include "agent/embedded_agent_client.h"

#include "common/json.h"
#include "common/text.h"
#include "planning/safe_action_planner.h"

namespace vantorel::EmbeddedAgentClient {

namespace {

constexpr std::string_view kDeepQuestions[] = {
    "analyse mon projet", "analyse ma track", "analyse mon morceau", "analyse le projet",  "arrangement",
    "structure complete", "structure du morceau", "mix complet",     "plan de mix",        "mastering",
    "premaster",          "pre-master",           "sidechain",       "routing",            "compare",
    "diagnostic complet", "pourquoi ma track",    "pourquoi mon morceau"};

}  // namespace

// Strict serialisation: a context string that is not UTF-8 is refused
// rather than silently rewritten in front of the agent.
std::string serialisedContext(const nlohmann::json& compacted) {
    if (!compacted.is_object()) throw EmbeddedAgentError(EmbeddedAgentErrorCase::invalidContext);
    try {
        return compacted.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        throw EmbeddedAgentError(EmbeddedAgentErrorCase::invalidContext);
    }
}

std::vector<RemoteChatTurn> historyFromJson(const nlohmann::json& turns) {
    std::vector<RemoteChatTurn> history;
    if (!turns.is_array()) return history;
    for (const auto& turn : turns) {
        auto content = json::text(turn, "content");
        if (!content) continue;
        history.push_back({json::text(turn, "role", "user"), *content});
    }
    return history;
}

std::string codexReasoningEffort(std::string_view question) {
    if (SafeActionPlanner::isExplicitAction(question)) return "xhigh";
    std::string folded = text::lower(text::fold(question));
    for (std::string_view phrase : kDeepQuestions) {
        if (text::contains(folded, phrase)) return "xhigh";
    }
    return "high";
}

Answer answer(const AgentRunner& runner, std::string_view question, const nlohmann::json& context,
              const std::vector<RemoteChatTurn>& history, const std::optional<std::string>& sessionId) {
    auto agent = runner.selectedAgent();
    if (!agent) throw EmbeddedAgentError(EmbeddedAgentErrorCase::unavailable);
    nlohmann::json compacted = compactedContext(context, question);
    if (auto settled = deterministicPreflightAnswer(question, compacted, history)) {
        return {std::move(*settled), *agent, sessionId};
    }
    std::string prompt = buildPrompt(question, serialisedContext(compacted), history);
    RunResult result = runner.run(*agent, prompt, codexReasoningEffort(question), sessionId);
    return {groundingAdjustedAnswer(result.answer, question, compacted, history), *agent, result.sessionId};
}

Answer answer(std::string_view question, const nlohmann::json& context, const std::vector<RemoteChatTurn>& history,
              const std::optional<std::string>& sessionId) {
    return answer(AgentRunner(), question, context, history, sessionId);
}

std::optional<VantorelAgent> selectedAgent() { return AgentRunner().selectedAgent(); }

}  // namespace vantorel::EmbeddedAgentClient
