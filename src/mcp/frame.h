// The MCP frame: JSON-RPC 2.0, one object per line on standard input, one
// response line per request on standard output, in request order.
#pragma once

#include "common/json.h"

#include <optional>
#include <string>
#include <string_view>

namespace vantorel::VantorelMCPMain {

inline constexpr std::string_view protocolVersion = "2025-06-18";
inline constexpr std::string_view serverName = "Vantorel";
inline constexpr std::string_view serverVersion = "0.16.3";

const std::string& instructions();

// The response line for one input line (compact JSON, no line feed), or
// nothing for a notification. Never throws.
std::optional<std::string> handleLine(std::string_view line);

// The success response for a request id, as written to the client. Numbers
// that JSON cannot carry (NaN, infinities from a measurement) are written as
// null, so the line always parses.
std::string resultLine(const json::Json& id, json::Json result);

// Reads lines from `input` until end of input, answering each on `output`.
// Returns the process's exit status.
int run(int input, int output);

}  // namespace vantorel::VantorelMCPMain
