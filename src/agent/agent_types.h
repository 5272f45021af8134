// The agent kinds Vantorel can answer with, and the errors of running and
// connecting them.
//
// Codex and Claude Code are outside programs the producer installs; the app
// only starts them. Each error case carries the one French sentence the
// producer reads.
#pragma once

#include "common/error.h"

#include <optional>
#include <string>
#include <string_view>

namespace vantorel {

enum class VantorelAgent { codex, claude };

// "codex" / "claude": the stored preference and the `source` of answers.
std::string_view rawName(VantorelAgent agent);
// "Codex" / "Claude Code".
std::string_view displayName(VantorelAgent agent);
// The executable searched for: "codex" / "claude".
std::string_view executableName(VantorelAgent agent);
std::optional<VantorelAgent> agentFromRawName(std::string_view raw);

enum class EmbeddedAgentErrorCase { failed, unavailable, invalidContext, launchFailed, timedOut, emptyResponse };

class EmbeddedAgentError : public EnumError<EmbeddedAgentError, EmbeddedAgentErrorCase> {
public:
    static constexpr std::string_view typeName = "EmbeddedAgentError";
    static std::string_view caseName(EmbeddedAgentErrorCase kind);
    static std::string_view describe(EmbeddedAgentErrorCase kind);
    using EnumError::EnumError;

    // `failed` carries the agent's own most telling line.
    static EmbeddedAgentError failed(std::string message) {
        return EmbeddedAgentError(EmbeddedAgentErrorCase::failed, std::move(message));
    }
};

enum class AgentConnectorErrorCase { commandNotFound, commandFailed, helperMissing };

class AgentConnectorError : public EnumError<AgentConnectorError, AgentConnectorErrorCase> {
public:
    static constexpr std::string_view typeName = "AgentConnectorError";
    static std::string_view caseName(AgentConnectorErrorCase kind);
    static std::string_view describe(AgentConnectorErrorCase kind);
    using EnumError::EnumError;

    static AgentConnectorError commandNotFound(VantorelAgent agent) {
        return AgentConnectorError(AgentConnectorErrorCase::commandNotFound,
                                   std::string(displayName(agent)) +
                                       " n’est pas installé sur cet ordinateur. Installe-le puis réessaie.");
    }
    static AgentConnectorError commandFailed(std::string message) {
        return AgentConnectorError(AgentConnectorErrorCase::commandFailed, std::move(message));
    }
};

}  // namespace vantorel
