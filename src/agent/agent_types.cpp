#include "agent/agent_types.h"

namespace vantorel {

std::string_view rawName(VantorelAgent agent) { return agent == VantorelAgent::codex ? "codex" : "claude"; }

std::string_view displayName(VantorelAgent agent) { return agent == VantorelAgent::codex ? "Codex" : "Claude Code"; }

std::string_view executableName(VantorelAgent agent) { return rawName(agent); }

std::optional<VantorelAgent> agentFromRawName(std::string_view raw) {
    if (raw == "codex") return VantorelAgent::codex;
    if (raw == "claude") return VantorelAgent::claude;
    return std::nullopt;
}

std::string_view EmbeddedAgentError::caseName(EmbeddedAgentErrorCase kind) {
    switch (kind) {
        case EmbeddedAgentErrorCase::failed: return "failed";
        case EmbeddedAgentErrorCase::unavailable: return "unavailable";
        case EmbeddedAgentErrorCase::invalidContext: return "invalidContext";
        case EmbeddedAgentErrorCase::launchFailed: return "launchFailed";
        case EmbeddedAgentErrorCase::timedOut: return "timedOut";
        case EmbeddedAgentErrorCase::emptyResponse: return "emptyResponse";
    }
    return "unknown";
}

std::string_view EmbeddedAgentError::describe(EmbeddedAgentErrorCase kind) {
    switch (kind) {
        case EmbeddedAgentErrorCase::failed: return "";
        case EmbeddedAgentErrorCase::unavailable:
            return "Connecte Codex ou Claude Code dans Configuration pour activer les réponses IA.";
        case EmbeddedAgentErrorCase::invalidContext: return "Le contexte Ableton local n’a pas pu être préparé.";
        case EmbeddedAgentErrorCase::launchFailed: return "L’agent IA installé n’a pas pu démarrer.";
        case EmbeddedAgentErrorCase::timedOut:
            return "L’agent IA a mis trop de temps à répondre. Réessaie avec une question plus ciblée.";
        case EmbeddedAgentErrorCase::emptyResponse: return "L’agent IA n’a renvoyé aucune réponse.";
    }
    return "";
}

std::string_view AgentConnectorError::caseName(AgentConnectorErrorCase kind) {
    switch (kind) {
        case AgentConnectorErrorCase::commandNotFound: return "commandNotFound";
        case AgentConnectorErrorCase::commandFailed: return "commandFailed";
        case AgentConnectorErrorCase::helperMissing: return "helperMissing";
    }
    return "unknown";
}

std::string_view AgentConnectorError::describe(AgentConnectorErrorCase kind) {
    switch (kind) {
        case AgentConnectorErrorCase::commandNotFound:
            return " n’est pas installé sur cet ordinateur. Installe-le puis réessaie.";
        case AgentConnectorErrorCase::commandFailed: return "";
        case AgentConnectorErrorCase::helperMissing:
            return "Le serveur MCP Vantorel est absent de l’app. Réinstalle Vantorel.";
    }
    return "";
}

}  // namespace vantorel
