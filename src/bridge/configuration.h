// The local bridge configuration, bridge.json, written by the installer and
// read by both clients on every connection.
#pragma once

#include "bridge/url.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vantorel {

struct BridgeConfiguration {
    std::string bridgeUrl;
    std::string authToken;

    // Decodes the file's text: a JSON object with string `bridgeUrl` and
    // `authToken` (extra keys ignored); nothing otherwise.
    static std::optional<BridgeConfiguration> decode(std::string_view text);
};

// The app's reading of bridge.json: the file must exist (configurationMissing),
// decode, name a plain-http URL on 127.0.0.1 or ::1, and carry a token of at
// least 32 user-perceived characters (configurationInvalid otherwise).
// Throws BridgeFailure.
struct AppBridgeConfiguration {
    BridgeConfiguration configuration;
    bridge::Url baseUrl;

    static AppBridgeConfiguration load(const std::filesystem::path& file);
};

inline constexpr std::size_t minimumTokenLength = 32;

}  // namespace vantorel
