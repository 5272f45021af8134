// Free questions to the assistant: the deterministic answers first, then the
// producer's agent, then a configured remote planner; an action line goes to
// the plan flow, anything else to the chat.
//
// The work runs off the loop on copies taken when the question is asked. An
// answer that lands after a reset (another set opened meanwhile) is shown, as
// the producer asked for it, but belongs to the old set: it is not stored in
// the conversation, its agent conversation is not resumed, and an action line
// in it is not planned on the new set's tracks.
#include "agent/context_compaction.h"
#include "agent/deterministic_answers.h"
#include "agent/embedded_agent_client.h"
#include "app/app_delegate.h"
#include "app/project_visual.h"
#include "common/json.h"
#include "common/text.h"

namespace vantorel {

namespace {

constexpr std::string_view kEmptyQuestionText = "Écris une question avant de l’envoyer.";
constexpr std::string_view kStaleContextText =
    "Je n’ai pas encore un contexte Ableton fiable. J’attends la resynchronisation au lieu d’inventer une réponse sur "
    "le mauvais projet.";
// Answers settled by the fixed rules, with no agent involved.
constexpr std::string_view kLocalSource = "local-preflight";
constexpr std::string_view kRemoteSource = "ai";

struct QuestionAnswer {
    std::string text;
    std::string source;
    std::optional<VantorelAgent> agent;       // set when an agent answered
    std::optional<std::string> sessionId;
    std::optional<Json> visual;
};

struct Question {
    std::string text;
    std::shared_ptr<const Json> context;  // the mirror as asked about, shared with the loop
    Json snapshot;
    std::vector<RemoteChatTurn> history;
    std::optional<std::string> storedSessionId;
    std::optional<VantorelAgent> storedSessionAgent;
};

QuestionAnswer answerQuestion(const AgentRunner& runner, const std::filesystem::path& plannerFile,
                              const Question& question) {
    QuestionAnswer result;
    const Json& context = *question.context;
    // The fixed rules answer first, whatever agents are installed: a
    // producer without one can still have a track muted.
    Json compacted = EmbeddedAgentClient::compactedContext(context, question.text);
    if (auto settled = EmbeddedAgentClient::deterministicPreflightAnswer(question.text, compacted, question.history)) {
        result.text = std::move(*settled);
        result.source = kLocalSource;
    } else {
        auto selected = runner.selectedAgent();
        // The agent-side conversation follows its agent.
        std::optional<std::string> sessionId;
        if (selected == question.storedSessionAgent) sessionId = question.storedSessionId;
        try {
            auto answered =
                EmbeddedAgentClient::answer(runner, question.text, context, question.history, sessionId);
            result.text = std::move(answered.answer);
            result.source = rawName(answered.agent);
            result.agent = answered.agent;
            result.sessionId = std::move(answered.sessionId);
        } catch (const std::exception& agentError) {
            const std::exception_ptr first = std::current_exception();
            auto remote = RemotePlannerClient::configured(plannerFile);
            const Json* analysis = json::object(context, "projectAnalysis");
            if (!remote || analysis == nullptr) std::rethrow_exception(first);
            try {
                result.text = remote->answer(question.text, question.snapshot, *analysis, question.history);
                result.source = kRemoteSource;
            } catch (const std::exception&) {
                std::rethrow_exception(first);  // the producer is told about the agent, not the fallback
            }
        }
    }
    result.visual = projectVisualPayload(question.text, context);
    return result;
}

}  // namespace

void AppDelegate::askTechnicalQuestion(const std::string& asked) {
    std::string q = text::trim(asked);
    if (q.empty()) {
        send("chatResult", Json{{"ok", false}, {"message", kEmptyQuestionText}});
        return;
    }
    if (!bridge || !contextIsFresh() || !currentSnapshot || !currentContext) {
        send("chatResult", Json{{"ok", false}, {"message", kStaleContextText}});
        return;
    }
    auto question = std::make_shared<Question>(
        Question{q, currentContext, *currentSnapshot, chatHistory, embeddedAgentSessionId, embeddedAgentSessionAgent});
    const std::uint64_t askedIn = epoch();
    offLoop<QuestionAnswer>(
        Lane::work,
        // The runner is copied: an agent run may outlast the controller.
        [runner = agentRunner(), question, plannerFile = settings().dataFolder / "planner.json"] {
            return answerQuestion(runner, plannerFile, *question);
        },
        [this, q, askedIn](Outcome<QuestionAnswer> outcome) {
            if (!outcome.ok()) {
                std::string message;
                try {
                    std::rethrow_exception(outcome.error());
                } catch (const std::exception& error) {
                    message = EmbeddedAgentClient::connectionFailureMessage(error, q);
                } catch (...) {
                    message = EmbeddedAgentClient::connectionFailureMessage(std::nullopt, q);
                }
                send("chatResult", Json{{"ok", false}, {"message", message}, {"source", "agent-unavailable"}});
                return;
            }
            QuestionAnswer& answer = outcome.get();
            const bool current = epoch() == askedIn;
            if (current && answer.agent) {
                embeddedAgentSessionId = answer.sessionId;
                embeddedAgentSessionAgent = answer.agent;
            }
            if (current) {
                if (auto command = EmbeddedAgentClient::routedActionCommand(answer.text, q)) {
                    preparePlan(*command, q);
                    return;
                }
            }
            std::string shown = EmbeddedAgentClient::userFacingAnswer(
                EmbeddedAgentClient::safetyAdjustedAnswer(answer.text, q));
            if (current) appendChatTurns(q, shown);
            Json value = {{"ok", true}, {"answer", std::move(shown)}, {"source", answer.source}};
            if (answer.visual) value["visual"] = std::move(*answer.visual);
            send("chatResult", std::move(value));
        });
}

}  // namespace vantorel
