// The MCP server's own failures. Their descriptions are what the agent reads
// in a tool result, so they are English and tell it what to do next.
#pragma once

#include "common/error.h"

#include <string>
#include <string_view>

namespace vantorel {

enum class MCPServerErrorCase {
    bridgeIncompatible,
    bridgeRejected,
    invalidArguments,
    configurationMissing,
    configurationInvalid,
    bridgeUnreachable,
    invalidBridgeResponse,
};

class MCPServerError : public EnumError<MCPServerError, MCPServerErrorCase> {
public:
    static constexpr std::string_view typeName = "MCPServerError";
    static std::string_view caseName(MCPServerErrorCase kind);
    static std::string_view describe(MCPServerErrorCase kind);

    using EnumError::EnumError;

    static MCPServerError bridgeIncompatible(std::string message) {
        return MCPServerError(MCPServerErrorCase::bridgeIncompatible, std::move(message));
    }
    static MCPServerError bridgeRejected(const std::string& code, const std::string& message) {
        return MCPServerError(MCPServerErrorCase::bridgeRejected, "VantorelBridge error " + code + ": " + message);
    }
    static MCPServerError invalidArguments(std::string message) {
        return MCPServerError(MCPServerErrorCase::invalidArguments, std::move(message));
    }
};

}  // namespace vantorel
