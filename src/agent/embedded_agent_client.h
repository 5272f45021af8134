// EmbeddedAgentClient::answer: the whole answer pipeline for one question.
//
// Chooses the agent, compacts the live context around the question, tries
// the deterministic answers, and only then runs the agent with the prompt;
// its answer is corrected against the observed facts before it is
// returned. Blocking: the app calls it off the main loop and hands the
// result back there.
#pragma once

#include "agent/agent_prompt.h"
#include "agent/agent_runner.h"
#include "agent/context_compaction.h"
#include "agent/deterministic_answers.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::EmbeddedAgentClient {

struct Answer {
    std::string answer;
    VantorelAgent agent = VantorelAgent::codex;
    std::optional<std::string> sessionId;
};

// "xhigh" for explicit action requests and broad analysis questions, else
// "high".
std::string codexReasoningEffort(std::string_view question);

// Throws EmbeddedAgentError: unavailable when no agent is installed (before
// any deterministic answer), invalidContext, and the failures of a run.
Answer answer(const AgentRunner& runner, std::string_view question, const nlohmann::json& context,
              const std::vector<RemoteChatTurn>& history, const std::optional<std::string>& sessionId);
// The same with the product's runner.
Answer answer(std::string_view question, const nlohmann::json& context, const std::vector<RemoteChatTurn>& history,
              const std::optional<std::string>& sessionId);

// The compacted context as the prompt carries it: compact JSON, sorted keys.
// Throws invalidContext for text that is not UTF-8.
std::string serialisedContext(const nlohmann::json& compacted);

// Conversation turns read leniently from JSON: objects with a string
// `content` (a `role` of another type reads as "user"); anything else is
// skipped.
std::vector<RemoteChatTurn> historyFromJson(const nlohmann::json& turns);

// The product's agent choice (the preferred one when installed, else Codex,
// else Claude Code).
std::optional<VantorelAgent> selectedAgent();

}  // namespace vantorel::EmbeddedAgentClient
