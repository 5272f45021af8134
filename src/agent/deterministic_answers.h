// The fixed layer of string rules on both sides of the agent.
//
// Before an agent runs, deterministicPreflightAnswer settles a handful of
// known questions outright or turns an explicit request straight into an
// action line for the local planner. After it has answered,
// groundingAdjustedAnswer replaces claims the live context cannot support
// (a bassline never created, a deletion) and adds the notes the context
// makes necessary (nothing was heard, a stage's exact criteria). The app
// then splits an answer into what the producer reads and the action, if
// any, that goes to the planner.
//
// Every phrase test is a substring test on normalised text (trimmed,
// folded, lower-cased). All functions are pure and never fail; a missing or
// mistyped context key counts as absent.
#pragma once

#include "planning/remote_planner_client.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::EmbeddedAgentClient {

inline constexpr std::string_view kActionMarker = "VANTOREL_ACTION:";

// A complete answer or an action line, or nothing when the agent must run.
std::optional<std::string> deterministicPreflightAnswer(std::string_view question, const nlohmann::json& context,
                                                        const std::vector<RemoteChatTurn>& history);

// The agent's answer as it may be shown.
std::string groundingAdjustedAnswer(std::string_view answer, std::string_view question,
                                    const nlohmann::json& context, const std::vector<RemoteChatTurn>& history);

// The planner command of an answer that is exactly one allowed action line.
std::optional<std::string> routedActionCommand(std::string_view answer,
                                               std::optional<std::string_view> originalQuestion);

// A well-formed pitched action line for a question that names no key
// becomes the key refusal; anything else is returned unchanged.
std::string safetyAdjustedAnswer(std::string_view answer, std::string_view originalQuestion);

// The answer without its action lines, or a sentence saying the action
// cannot be prepared when nothing else is left.
std::string userFacingAnswer(std::string_view answer);

// The sentence shown when the agent could not answer; description is the
// error's own text when it has one.
std::string connectionFailureMessage(const std::optional<std::string>& description, std::string_view question);
std::string connectionFailureMessage(const std::exception& error, std::string_view question);

bool isKeyDetectionRequest(std::string_view text);
std::string musicalKeyClarificationAnswer();

bool isDestructiveRequest(std::string_view text);
bool assumesUnrecordedBasslineCreation(std::string_view question, const std::vector<RemoteChatTurn>& history);
std::optional<int> requestedStage(std::string_view question);
std::optional<std::string> existingBassTrackName(const nlohmann::json& context);

}  // namespace vantorel::EmbeddedAgentClient
