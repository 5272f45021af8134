#include "bridge/client.h"

#include "bridge/compatibility.h"
#include "bridge/failure.h"
#include "bridge/protocol.h"
#include "common/json.h"
#include "common/paths.h"
#include "common/uuid.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

namespace vantorel {

namespace {

constexpr std::string_view refusalText = "Le bridge a refusé la commande.";

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Collected {
    CURL* handle = nullptr;
    std::string body;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    auto* collected = static_cast<Collected*>(target);
    // A context is megabytes: one allocation of the announced size rather
    // than a string doubled a dozen times, each step left behind in the heap.
    if (collected->body.empty()) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(collected->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
            length > 0 && length <= (curl_off_t{64} << 20))
            collected->body.reserve(static_cast<std::size_t>(length));
    }
    collected->body.append(data, size * count);
    return size * count;
}

std::string transportName(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT: return "connectionRefused";
        case CURLE_OPERATION_TIMEDOUT: return "timedOut";
        case CURLE_COULDNT_RESOLVE_HOST: return "hostNotFound";
        case CURLE_GOT_NOTHING: return "emptyReply";
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR: return "connectionLost";
        case CURLE_WEIRD_SERVER_REPLY: return "notHTTP";
        default: return "transportFailure";
    }
}

struct CurlHandle {
    CURL* handle = curl_easy_init();
    curl_slist* headers = nullptr;
    ~CurlHandle() {
        curl_slist_free_all(headers);
        if (handle) curl_easy_cleanup(handle);
    }
    void addHeader(const std::string& line) { headers = curl_slist_append(headers, line.c_str()); }
};

}  // namespace

nlohmann::json acceptAppReply(long status, std::string_view body) {
    auto parsed = json::parse(body);
    if (!parsed) throw BridgeReplyParseError("the bridge's reply is not JSON");
    if (!parsed->is_object()) throw BridgeFailure(BridgeFailureCase::invalidResponse);
    auto ok = json::flag(*parsed, "ok");
    if (status >= 200 && status <= 299 && ok.value_or(false)) {
        auto result = parsed->find("result");
        if (result == parsed->end()) throw BridgeFailure(BridgeFailureCase::invalidResponse);
        // Moved out: a context's tree is tens of thousands of nodes.
        return std::move(*result);
    }
    if (const auto* error = json::object(*parsed, "error")) {
        if (auto message = json::text(*error, "message")) throw BridgeFailure::remote(*message);
    }
    throw BridgeFailure::remote(std::string(refusalText));
}

BridgeClient::BridgeClient(std::optional<std::filesystem::path> configurationFile)
    : configuration_(AppBridgeConfiguration::load(configurationFile.value_or(paths::bridgeConfiguration()))) {
    initialiseCurl();
}

nlohmann::json BridgeClient::request(std::string_view path, std::string_view method,
                                     const std::optional<nlohmann::json>& payload,
                                     std::optional<double> timeoutSeconds) const {
    BridgeRawReply reply = exchange(path, method, payload, timeoutSeconds);
    return acceptAppReply(reply.status, reply.body);
}

BridgeRawReply BridgeClient::exchange(std::string_view path, std::string_view method,
                                      const std::optional<nlohmann::json>& payload,
                                      std::optional<double> timeoutSeconds) const {
    auto url = configuration_.baseUrl.resolve(path);
    if (!url) throw BridgeFailure(BridgeFailureCase::configurationInvalid);

    // The request's own limit bounds both silence and completion; the
    // session caps every request at its resource limit.
    double limit = timeoutSeconds.value_or(bridge::timeout::standard);
    if (!std::isfinite(limit) || limit <= 0) limit = bridge::timeout::sessionIdle;
    limit = std::min(limit, bridge::timeout::sessionResource);
    long limitMs = static_cast<long>(std::ceil(limit * 1000));

    std::string body;
    if (payload) body = json::compact(*payload);

    CurlHandle curl;
    if (!curl.handle) throw BridgeTransportError(CURLE_FAILED_INIT, "transportFailure", "curl_easy_init failed");
    CURL* h = curl.handle;
    std::string methodText(method);
    curl_easy_setopt(h, CURLOPT_URL, url->c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limitMs);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limitMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, limitMs / 1000));
    if (methodText == "GET" && !payload) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, methodText.c_str());
        if (payload) {
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        } else if (methodText == "POST") {
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        }
    }
    curl.addHeader(std::string(bridge::header::token) + ": " + configuration_.configuration.authToken);
    curl.addHeader(std::string(bridge::header::requestId) + ": desktop-" + uuid::upper());
    curl.addHeader("Accept: application/json");
    // curl would otherwise add a form Content-Type to a body-less POST.
    curl.addHeader(payload ? "Content-Type: application/json" : "Content-Type:");
    curl.addHeader("Expect:");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, curl.headers);

    Collected reply{h, {}};
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
    char detail[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);

    CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
        throw BridgeTransportError(code, transportName(code), detail[0] ? detail : curl_easy_strerror(code));
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0) throw BridgeFailure(BridgeFailureCase::invalidResponse);
    return {status, std::move(reply.body)};
}

void checkBridgeHealth(const nlohmann::json& health) {
    auto version = json::text(health, "bridgeVersion");
    const auto* capabilitiesValue = json::member(health, "capabilities");
    if (!version || !capabilitiesValue || !capabilitiesValue->is_array()) {
        throw BridgeFailure(BridgeFailureCase::invalidResponse);
    }
    std::vector<std::string> capabilities;
    for (const auto& entry : *capabilitiesValue) {
        if (!entry.is_string()) throw BridgeFailure(BridgeFailureCase::invalidResponse);
        capabilities.push_back(entry.get<std::string>());
    }
    if (VantorelBridgeCompatibility::isOutdated(*version)) {
        throw BridgeFailure::incompatible("VantorelBridge " + *version +
                                          " est encore chargé dans Live. Les actions sont bloquées pour éviter les "
                                          "erreurs. Enregistre ton projet, redémarre Ableton puis vérifie la connexion.");
    }
    if (!VantorelBridgeCompatibility::hasRequiredCapabilities(capabilities)) {
        throw BridgeFailure::incompatible("VantorelBridge " + *version +
                                          " ne contient pas toutes les actions requises. Réinstalle le bridge depuis "
                                          "Vantorel, enregistre ton projet puis redémarre Ableton.");
    }
}

void BridgeClient::validateCompatibility() const { checkBridgeHealth(request(bridge::endpoint::health, "GET")); }

}  // namespace vantorel
