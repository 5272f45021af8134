// The agent process runner: one run of Codex or Claude Code per question.
//
// Vantorel does not talk to a language model itself: it starts the agent the
// producer already has, non-interactively, with the prompt on standard input
// and vantorel-mcp configured as its only tool server for that run, waits at
// most the time limit (terminating the agent's whole process group on
// time-out), and reads the final answer from the answer file, else from
// standard output. The agent-side conversation identifier comes back so
// that the next question continues the same conversation.
//
// Each run owns four temporary files (answer, standard output, standard
// error, Claude Code's MCP configuration) in the temporary folder and
// removes them however the run ends. Every failure is an
// EmbeddedAgentError. `run` blocks; the app calls it off the main loop.
#pragma once

#include "agent/agent_connector.h"
#include "agent/agent_failure.h"
#include "agent/agent_types.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

namespace EmbeddedAgentClient {

inline constexpr std::string_view kCodexModel = "gpt-5.6-sol";
inline constexpr std::chrono::milliseconds kTimeLimit = std::chrono::seconds(150);
inline constexpr std::size_t kAnswerLengthCap = 12000;

// The read-only tools of vantorel-mcp the agent may call, in this order.
const std::vector<std::string>& enabledTools();

struct RunResult {
    std::string answer;                    // trimmed, at most 12 000 characters
    std::optional<std::string> sessionId;  // the conversation to continue next time
};

// The arguments after `codex`: a new conversation in a read-only sandbox in
// the workspace, or the continuation of sessionId.
std::vector<std::string> codexArguments(const std::filesystem::path& workspacePath,
                                        const std::filesystem::path& outputPath, std::string_view reasoningEffort,
                                        const std::filesystem::path& helperPath,
                                        const std::optional<std::string>& sessionId);
// The arguments after `claude`: a new conversation with newSessionId, or the
// continuation of resumedSessionId (exactly one of them is given).
std::vector<std::string> claudeArguments(const std::filesystem::path& configPath,
                                         const std::optional<std::string>& newSessionId,
                                         const std::optional<std::string>& resumedSessionId);
// vantorel-mcp next to the app's executable, else next to the agent's.
std::filesystem::path helperPath(const std::optional<std::filesystem::path>& ownExecutable,
                                 const std::filesystem::path& agentExecutable);
// {"mcpServers": {"vantorel": {"args": [], "command": helperPath}}}, written
// atomically; throws std::system_error.
void writeClaudeMCPConfig(const std::filesystem::path& file, const std::filesystem::path& helperPath);
// The `thread_id` of the first "thread.started" JSON line of Codex's output.
std::optional<std::string> codexThreadId(std::string_view standardOutput);

}  // namespace EmbeddedAgentClient

class AgentRunner {
public:
    // The product's runner: the connector's default search and 150 s.
    AgentRunner();
    AgentRunner(AgentConnector connector, std::chrono::milliseconds timeLimit);

    const AgentConnector& connector() const { return connector_; }

    // The preferred agent when it is installed, else Codex, else Claude Code.
    std::optional<VantorelAgent> selectedAgent() const;

    // One run of agent on prompt. codexReasoningEffort is "xhigh" or "high"
    // and only matters to Codex.
    EmbeddedAgentClient::RunResult run(VantorelAgent agent, std::string_view prompt,
                                       std::string_view codexReasoningEffort,
                                       const std::optional<std::string>& sessionId) const;

private:
    AgentConnector connector_;
    std::chrono::milliseconds timeLimit_;
};

}  // namespace vantorel
