#include "mcp/bridge_client.h"

#include "bridge/configuration.h"
#include "common/files.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/uuid.h"
#include "mcp/loopback_http.h"
#include "mcp/server_error.h"

#include <chrono>
#include <cmath>

namespace vantorel {

using json::Json;

namespace {

bool loopbackHost(const bridge::Url& url) {
    return !url.hostIsIpv6Literal && (url.host == "127.0.0.1" || url.host == "localhost");
}

// The token goes into a header line as it is: a line break or control
// character in it would forge headers, so such a token is not a token.
bool usableToken(std::string_view token) {
    for (char c : token) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return text::graphemeCount(token) >= minimumTokenLength;
}

MCPServerError invalidConfiguration() { return MCPServerError(MCPServerErrorCase::configurationInvalid); }

}  // namespace

bool acceptableBridgeURL(const bridge::Url& url) {
    return url.scheme == "http" && loopbackHost(url) && !url.user && !url.password && !url.query && !url.fragment &&
           url.port && *url.port >= 1024 && *url.port <= 65535;
}

MCPBridgeClient::MCPBridgeClient() : MCPBridgeClient(paths::bridgeConfiguration()) {}

MCPBridgeClient::MCPBridgeClient(const std::filesystem::path& configurationFile) {
    auto content = files::read(configurationFile);
    if (!content) throw MCPServerError(MCPServerErrorCase::configurationMissing);
    auto configuration = BridgeConfiguration::decode(*content);
    if (!configuration) throw invalidConfiguration();
    auto url = bridge::Url::parse(configuration->bridgeUrl);
    if (!url || !acceptableBridgeURL(*url) || !usableToken(configuration->authToken)) throw invalidConfiguration();
    baseURL_ = std::move(*url);
    token_ = std::move(configuration->authToken);
}

Json acceptMCPReply(int status, std::string_view body) {
    auto parsed = json::parse(body);
    if (body.empty() || !parsed || !parsed->is_object()) throw MCPServerError(MCPServerErrorCase::invalidBridgeResponse);
    const Json* ok = json::member(*parsed, "ok");
    if (status <= 399 && ok && ok->is_boolean() && ok->get<bool>()) {
        const Json* result = json::member(*parsed, "result");
        if (!result) throw MCPServerError(MCPServerErrorCase::invalidBridgeResponse);
        return *result;
    }
    const Json* error = json::object(*parsed, "error");
    std::optional<std::string> code = error ? json::text(*error, "code") : std::nullopt;
    std::optional<std::string> message = error ? json::text(*error, "message") : std::nullopt;
    throw MCPServerError::bridgeRejected(code.value_or("HTTP_" + std::to_string(status)),
                                         message.value_or("The request was rejected."));
}

Json MCPBridgeClient::request(std::string_view path, std::string_view method, const std::optional<Json>& payload,
                              double timeoutSeconds) const {
    auto resolved = baseURL_.resolve(path);
    auto target = resolved ? bridge::Url::parse(*resolved) : std::nullopt;
    if (!target || !loopbackHost(*target) || !target->port) throw invalidConfiguration();

    mcp::HttpRequest request;
    request.host = target->host;
    request.port = *target->port;
    request.method = std::string(method);
    request.target = target->path.empty() ? "/" : target->path;
    if (target->query) request.target += "?" + *target->query;
    request.headers = {
        {"X-Vantorel-Token", token_},
        {"X-Vantorel-Request-Id", "mcp-" + uuid::lower()},
        {"Accept", "application/json"},
    };
    if (payload) {
        request.body = json::compact(*payload);
        request.headers.emplace_back("Content-Type", "application/json");
    }

    double seconds = std::isfinite(timeoutSeconds) && timeoutSeconds > 0 ? timeoutSeconds : 60.0;
    mcp::HttpLimits limits;
    limits.idle = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    limits.total = limits.idle + std::chrono::seconds(1);

    mcp::HttpReply reply;
    try {
        reply = mcp::exchange(request, limits);
    } catch (const mcp::HttpTransportError&) {
        throw MCPServerError(MCPServerErrorCase::bridgeUnreachable);
    } catch (const mcp::HttpProtocolError&) {
        throw MCPServerError(MCPServerErrorCase::invalidBridgeResponse);
    }
    return acceptMCPReply(reply.status, reply.body);
}

}  // namespace vantorel
