// The server's way to the bridge: one client per tool call, built from
// bridge.json with rules stricter than the app's (loopback by name or
// address, a non-privileged port, nothing but scheme, host, port and path).
#pragma once

#include "bridge/url.h"
#include "common/json.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel {

class MCPBridgeClient {
public:
    // Reads the bridge.json of the user's application support folder.
    MCPBridgeClient();
    // Throws MCPServerError configurationMissing or configurationInvalid.
    explicit MCPBridgeClient(const std::filesystem::path& configurationFile);

    const bridge::Url& baseURL() const { return baseURL_; }
    const std::string& token() const { return token_; }

    // One request; waits at most timeoutSeconds + 1 s. Returns the reply's
    // `result`, throws MCPServerError.
    json::Json request(std::string_view path, std::string_view method, const std::optional<json::Json>& payload,
                       double timeoutSeconds) const;

private:
    bridge::Url baseURL_;
    std::string token_;
};

// The server's reading of a bridge reply: any status up to 399 with `ok`
// true is a success. Throws MCPServerError.
json::Json acceptMCPReply(int status, std::string_view body);

// Whether a base URL passes the server's rules.
bool acceptableBridgeURL(const bridge::Url& url);

}  // namespace vantorel
