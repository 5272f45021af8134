#include "mcp/server_error.h"

namespace vantorel {

std::string_view MCPServerError::caseName(MCPServerErrorCase kind) {
    switch (kind) {
        case MCPServerErrorCase::bridgeIncompatible: return "bridgeIncompatible";
        case MCPServerErrorCase::bridgeRejected: return "bridgeRejected";
        case MCPServerErrorCase::invalidArguments: return "invalidArguments";
        case MCPServerErrorCase::configurationMissing: return "configurationMissing";
        case MCPServerErrorCase::configurationInvalid: return "configurationInvalid";
        case MCPServerErrorCase::bridgeUnreachable: return "bridgeUnreachable";
        case MCPServerErrorCase::invalidBridgeResponse: return "invalidBridgeResponse";
    }
    return "unknown";
}

std::string_view MCPServerError::describe(MCPServerErrorCase kind) {
    switch (kind) {
        case MCPServerErrorCase::bridgeIncompatible: return "VantorelBridge is outdated.";
        case MCPServerErrorCase::bridgeRejected: return "VantorelBridge error: The request was rejected.";
        case MCPServerErrorCase::invalidArguments: return "Invalid arguments.";
        case MCPServerErrorCase::configurationMissing:
            return "VantorelBridge is not installed. Open Vantorel and install the Ableton bridge first.";
        case MCPServerErrorCase::configurationInvalid:
            return "The local VantorelBridge configuration is invalid. Reinstall the bridge from Vantorel.";
        case MCPServerErrorCase::bridgeUnreachable:
            return "Ableton Live is not connected to VantorelBridge. Open Ableton and wait a few seconds.";
        case MCPServerErrorCase::invalidBridgeResponse: return "VantorelBridge returned an invalid response.";
    }
    return "";
}

}  // namespace vantorel
