// What Codex and Claude Code print when a run fails, read as one French
// sentence the producer can act on.
//
// Neither agent reports failures in one place: Codex puts its final error in
// a JSON event on standard output ("turn.failed", "error") while its standard
// error carries transport log lines even in runs that go on to succeed;
// Claude Code prints a short English line on standard output and nothing on
// standard error. The common causes (a rejected key, a quota or rate limit,
// an unknown model, vantorel-mcp not starting, no network) get a sentence
// that says what to do; anything else is the agent's own most telling line,
// without JSON wrapping or backtraces, cut to 900 characters.
#pragma once

#include "agent/agent_types.h"

#include <string>
#include <string_view>
#include <vector>

namespace vantorel::EmbeddedAgentClient {

// The lines of an agent's output that carry something: "\r\n" endings
// folded, lines of white space only left out.
std::vector<std::string> nonBlankLines(std::string_view text);

std::string readableFailure(VantorelAgent agent, std::string_view standardError, std::string_view standardOutput);

}  // namespace vantorel::EmbeddedAgentClient
