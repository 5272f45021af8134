// The tools the server offers and the argument rules it enforces before any
// of them runs.
#pragma once

#include "common/json.h"

#include <array>
#include <string>
#include <string_view>

namespace vantorel::VantorelMCP {

// The 28 tool descriptions in the order tools/list gives them; built on
// first use and never changed afterwards.
const json::Json& tools();

// The roles a sample search may filter on, in the catalogue's order.
extern const std::array<std::string_view, 11> sampleRoles;

// Throws MCPServerError::invalidArguments with the first failing rule's
// message; unknown names are refused here too.
void validateArguments(std::string_view name, const json::Json& arguments);

// The readers the validation and the handlers share. Each throws
// invalidArguments naming the key.
std::string string(const json::Json& arguments, std::string_view key, std::size_t maximumLength);
double number(const json::Json& arguments, std::string_view key);
long long integer(const json::Json& arguments, std::string_view key);
void requireConfirmation(const json::Json& arguments);
std::string validateJobId(const json::Json& arguments);

}  // namespace vantorel::VantorelMCP
