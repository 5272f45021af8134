// BridgeClient: the app's one way to call the bridge.
//
// Built from bridge.json (validated at construction, so a client that exists
// always has a loopback URL and a long token); immutable afterwards, so one
// client serves concurrent requests (a context poll while a plan step runs).
// `request` blocks: the controller calls it off the main loop.
#pragma once

#include "bridge/configuration.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantorel {

// A failure below HTTP (connection refused, time-out, reset...). It carries
// no envelope; readable() reports it as Ableton not answering.
class BridgeTransportError : public std::runtime_error {
public:
    BridgeTransportError(int code, std::string name, std::string detail)
        : std::runtime_error(detail), code_(code), name_(std::move(name)) {}
    int code() const { return code_; }
    // A stable name for the failure ("connectionRefused", "timedOut", ...).
    const std::string& name() const { return name_; }

private:
    int code_;
    std::string name_;
};

// The reply body was not JSON.
class BridgeReplyParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The reply acceptance of the app: a 2xx status with `ok` true returns
// `result` (its absence is invalidResponse); a body that is not JSON throws
// BridgeReplyParseError; a top level that is not an object is
// invalidResponse; anything else is a refusal (BridgeFailure::remote with
// `error.message`, or the fixed refusal text).
nlohmann::json acceptAppReply(long status, std::string_view body);

// A reply as it came, before acceptAppReply.
struct BridgeRawReply {
    long status = 0;
    std::string body;
};

class BridgeClient {
public:
    // Reads and validates the configuration file (the user's bridge.json by
    // default). Throws BridgeFailure.
    explicit BridgeClient(std::optional<std::filesystem::path> configurationFile = std::nullopt);

    const BridgeConfiguration& configuration() const { return configuration_.configuration; }

    // Sends one request; `payload`, when given, must be an object and becomes
    // the JSON body. `timeoutSeconds` replaces the 60 s default; no request
    // outlives the session's 120 s cap. Throws BridgeFailure,
    // BridgeTransportError or BridgeReplyParseError.
    nlohmann::json request(std::string_view path, std::string_view method = "GET",
                           const std::optional<nlohmann::json>& payload = std::nullopt,
                           std::optional<double> timeoutSeconds = std::nullopt) const;

    // The same exchange, the reply left unread: for a caller that can skip
    // the parse of a body it has seen before. Throws BridgeFailure or
    // BridgeTransportError.
    BridgeRawReply exchange(std::string_view path, std::string_view method = "GET",
                            const std::optional<nlohmann::json>& payload = std::nullopt,
                            std::optional<double> timeoutSeconds = std::nullopt) const;

    // GET /v1/health and the version and capability gate. Throws
    // BridgeFailure::incompatible with the sentence the producer reads.
    void validateCompatibility() const;

private:
    AppBridgeConfiguration configuration_;
};

// The health reply's gate, separate from the transport so that it can be
// checked on its own: throws invalidResponse or incompatible.
void checkBridgeHealth(const nlohmann::json& health);

}  // namespace vantorel
