// The prompt handed to the agent: a fixed system text (persona, rules of
// evidence, the action line), the recent conversation, the compacted live
// context as JSON and the question, each bounded so that one prompt stays
// of predictable size. Pure functions.
#pragma once

#include "planning/remote_planner_client.h"

#include <string>
#include <string_view>
#include <vector>

namespace vantorel::EmbeddedAgentClient {

// The persona paragraph and the 46 rules, ending with "RECENT CONVERSATION:"
// and a line break.
std::string_view systemText();

// The system text, the last 12 turns (each cut to 2 000 characters, or
// "No previous turns."), the context JSON and the question (cut to 4 000
// characters).
std::string buildPrompt(std::string_view question, std::string_view contextJSON,
                        const std::vector<RemoteChatTurn>& history);

}  // namespace vantorel::EmbeddedAgentClient
