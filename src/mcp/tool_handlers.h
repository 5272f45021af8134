// Running a validated tool call: bridge client, compatibility gate, the
// tool's request or local analysis, and the MCP tool result around it.
#pragma once

#include "common/json.h"
#include "mcp/bridge_client.h"

#include <exception>
#include <string_view>

namespace vantorel::VantorelMCP {

// Never throws: every failure is a result with isError true.
json::Json callTool(std::string_view name, const json::Json& arguments);

// {"content": [{"type": "text", "text": <value, indented, keys sorted>}],
//  "structuredContent": <value as an object>, "isError": isError}
json::Json toolResult(const json::Json& value, bool isError);

// {"error": {"type", "message"}} for any exception.
json::Json errorValue(const std::exception& error);

// GET /v1/health and the version and capability gate. Throws MCPServerError.
void requireCompatibleBridge(const MCPBridgeClient& bridge);

// The get_master_listen tool: poll, and once the job is ready measure the
// file and clean up. Returns the tool result itself, since a failed job is
// an error result carrying the bridge's status object.
json::Json masterListenStatus(const MCPBridgeClient& bridge, const json::Json& arguments);

}  // namespace vantorel::VantorelMCP
