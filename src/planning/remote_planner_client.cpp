#include "planning/remote_planner_client.h"

#include "common/files.h"
#include "common/json.h"
#include "common/paths.h"
#include "common/text.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

namespace vantorel {

namespace {

using Json = nlohmann::json;
using Case = RemotePlannerErrorCase;

constexpr std::size_t promptLimit = 1500;
constexpr std::size_t questionLimit = 1800;
constexpr std::size_t turnLimit = 2000;
constexpr std::size_t tokenMinimum = 16;

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

struct UrlHandle {
    CURLU* handle = curl_url();
    ~UrlHandle() { curl_url_cleanup(handle); }

    std::optional<std::string> part(CURLUPart which) const {
        char* value = nullptr;
        if (curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
        std::string out(value);
        curl_free(value);
        return out;
    }
};

struct Endpoints {
    std::string plan;
    std::string chat;
    std::string scheme;
    std::string host;
    std::string path;
};

std::optional<Endpoints> parseEndpoint(const std::string& text) {
    // The scheme as written: "HTTPS://" is not taken for "https://".
    std::string scheme;
    if (text.rfind("https://", 0) == 0) {
        scheme = "https";
    } else if (text.rfind("http://", 0) == 0) {
        scheme = "http";
    } else {
        return std::nullopt;
    }
    UrlHandle url;
    if (!url.handle || curl_url_set(url.handle, CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
    auto host = url.part(CURLUPART_HOST);
    auto path = url.part(CURLUPART_PATH);
    auto whole = url.part(CURLUPART_URL);
    if (!host || host->empty() || !path || !whole) return std::nullopt;
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);

    Endpoints endpoints{*whole, {}, scheme, *host, *path};
    std::string chatPath = path->substr(0, path->rfind('/') + 1) + "chat";
    if (curl_url_set(url.handle, CURLUPART_PATH, chatPath.c_str(), 0) != CURLUE_OK) return std::nullopt;
    auto chat = url.part(CURLUPART_URL);
    if (!chat) return std::nullopt;
    endpoints.chat = *chat;
    return endpoints;
}

bool isLoopbackHost(std::string host) {
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    return host == "127.0.0.1" || host == "::1" || host == "localhost";
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// An integer written as 12 or 12.0; 12.5 is not a count.
std::optional<std::int64_t> exactInteger(const Json& value) {
    if (value.is_number_integer()) return json::asInteger(value);
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (d == std::trunc(d)) return json::asInteger(value);
    }
    return std::nullopt;
}

// A count the snapshot may carry as a number or as the list itself.
std::optional<std::int64_t> countOf(const Json& value) {
    if (value.is_array()) return static_cast<std::int64_t>(value.size());
    return exactInteger(value);
}

}  // namespace

std::string_view RemotePlannerError::caseName(RemotePlannerErrorCase kind) {
    switch (kind) {
        case Case::invalidConfiguration: return "invalidConfiguration";
        case Case::invalidSession: return "invalidSession";
        case Case::invalidResponse: return "invalidResponse";
        case Case::remoteUnavailable: return "remoteUnavailable";
    }
    return "unknown";
}

std::string_view RemotePlannerError::describe(RemotePlannerErrorCase kind) {
    switch (kind) {
        case Case::invalidConfiguration: return "La configuration du moteur IA est invalide.";
        case Case::invalidSession: return "Le contexte Ableton ne peut pas être envoyé au planificateur.";
        case Case::invalidResponse: return "Le moteur IA a renvoyé un plan invalide.";
        case Case::remoteUnavailable: return "Le moteur IA est momentanément indisponible.";
    }
    return "";
}

std::optional<RemotePlannerConfiguration> RemotePlannerConfiguration::decode(const nlohmann::json& value) {
    auto url = json::text(value, "plannerUrl");
    if (!url) return std::nullopt;
    return RemotePlannerConfiguration{*url, json::text(value, "authToken"), json::text(value, "sitesBypassToken")};
}

std::optional<RemotePlannerClient> RemotePlannerClient::configured() {
    return configured(paths::appData() / "planner.json");
}

std::optional<RemotePlannerClient> RemotePlannerClient::configured(const std::filesystem::path& file) {
    auto contents = files::read(file);
    if (!contents) return std::nullopt;
    auto parsed = json::parse(*contents);
    if (!parsed) return std::nullopt;
    auto configuration = RemotePlannerConfiguration::decode(*parsed);
    if (!configuration) return std::nullopt;
    try {
        return RemotePlannerClient(*configuration);
    } catch (const RemotePlannerError&) {
        return std::nullopt;
    }
}

RemotePlannerClient::RemotePlannerClient(const RemotePlannerConfiguration& configuration)
    : authToken_(configuration.authToken), sitesBypassToken_(configuration.sitesBypassToken) {
    initialiseCurl();
    auto endpoints = parseEndpoint(configuration.plannerUrl);
    if (!endpoints || !endsWith(endpoints->path, "/api/plan")) {
        throw RemotePlannerError(Case::invalidConfiguration);
    }
    bool loopback = isLoopbackHost(endpoints->host);
    auto longToken = [](const std::optional<std::string>& token) {
        return token && text::graphemeCount(*token) >= tokenMinimum;
    };
    bool accepted = endpoints->scheme == "https" ? (loopback || longToken(authToken_) || longToken(sitesBypassToken_))
                                                 : loopback;
    if (!accepted) throw RemotePlannerError(Case::invalidConfiguration);
    endpoint_ = endpoints->plan;
    chatEndpoint_ = endpoints->chat;
    plainHttp_ = endpoints->scheme == "http";
}

std::optional<nlohmann::json> RemotePlannerClient::sanitizedSession(const nlohmann::json& session) {
    if (!session.is_object()) return std::nullopt;
    Json out = Json::object();
    auto putText = [&](const char* key, std::size_t limit) {
        auto value = json::text(session, key);
        if (!value) return false;
        out[key] = text::graphemePrefix(*value, limit);
        return true;
    };
    auto putCount = [&](const char* key, bool acceptList) {
        const Json* value = json::member(session, key);
        auto count = value ? (acceptList ? countOf(*value) : exactInteger(*value)) : std::nullopt;
        if (!count) return false;
        out[key] = *count;
        return true;
    };
    const Json* tempo = json::member(session, "tempo");
    const Json* key = json::member(session, "key");
    if (!putText("project", 200) || !putText("liveVersion", 80) || !tempo || !tempo->is_number() || !key ||
        !putText("signature", 20) || !putCount("tracks", true) || !putCount("clips", true) ||
        !putText("selectedTrack", 200) || !putCount("revision", false)) {
        return std::nullopt;
    }
    out["tempo"] = *tempo;
    out["key"] = *key;
    if (json::text(session, "projectScale")) putText("projectScale", 80);
    return out;
}

nlohmann::json RemotePlannerClient::post(const std::string& url, const nlohmann::json& body) const {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    if (!handle) throw RemotePlannerError(Case::remoteUnavailable);
    CURL* h = handle.get();
    std::string payload = json::compact(body);

    curl_slist* rawHeaders = nullptr;
    auto addHeader = [&](const std::string& line) { rawHeaders = curl_slist_append(rawHeaders, line.c_str()); };
    addHeader("Content-Type: application/json");
    addHeader("Accept: application/json");
    if (authToken_) addHeader("Authorization: Bearer " + *authToken_);
    if (sitesBypassToken_) addHeader("OAI-Sites-Authorization: Bearer " + *sitesBypassToken_);
    addHeader("Expect:");
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(rawHeaders, curl_slist_free_all);

    std::string reply;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    // http was only accepted for a loopback host; anything else is https.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, plainHttp_ ? "http" : "https");
    curl_easy_setopt(h, CURLOPT_NOPROXY, "127.0.0.1,::1,localhost");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // A redirect could carry the bearer tokens to another host.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    const long idleSeconds = static_cast<long>(idleTimeout.count());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, idleSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(totalTimeout.count()));
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);

    CURLcode code = curl_easy_perform(h);
    // No answer at all (refused, unreachable, timed out, TLS failure): the
    // service is unavailable; an answer that is not HTTP is a bad answer.
    if (code == CURLE_WEIRD_SERVER_REPLY) throw RemotePlannerError(Case::invalidResponse);
    if (code != CURLE_OK) throw RemotePlannerError(Case::remoteUnavailable);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0) throw RemotePlannerError(Case::invalidResponse);
    if (status < 200 || status > 299) throw RemotePlannerError(Case::remoteUnavailable);
    auto parsed = json::parse(reply);
    if (!parsed || !parsed->is_object()) throw RemotePlannerError(Case::invalidResponse);
    return *parsed;
}

SafeActionPlan RemotePlannerClient::plan(std::string_view prompt, const nlohmann::json& session) const {
    auto whitelisted = sanitizedSession(session);
    if (!whitelisted) throw RemotePlannerError(Case::invalidSession);
    Json body = {{"prompt", text::graphemePrefix(prompt, promptLimit)}, {"session", *whitelisted}};
    Json reply = post(endpoint_, body);
    const Json* plan = json::member(reply, "plan");
    if (!plan) throw RemotePlannerError(Case::invalidResponse);
    try {
        return SafeActionPlan::decode(*plan);
    } catch (const SafePlanDecodingError&) {
        throw RemotePlannerError(Case::invalidResponse);
    }
}

std::string RemotePlannerClient::answer(std::string_view question, const nlohmann::json& session,
                                        const nlohmann::json& analysis,
                                        const std::vector<RemoteChatTurn>& history) const {
    auto whitelisted = sanitizedSession(session);
    if (!whitelisted) throw RemotePlannerError(Case::invalidSession);
    Json turns = Json::array();
    std::size_t first = history.size() > historyTurns ? history.size() - historyTurns : 0;
    for (std::size_t i = first; i < history.size(); ++i) {
        turns.push_back({{"role", history[i].role}, {"content", text::graphemePrefix(history[i].content, turnLimit)}});
    }
    Json body = {{"question", text::graphemePrefix(question, questionLimit)},
                 {"session", *whitelisted},
                 {"analysis", analysis},
                 {"history", std::move(turns)}};
    Json reply = post(chatEndpoint_, body);
    auto answer = json::text(reply, "answer");
    if (!answer || text::trim(*answer).empty()) throw RemotePlannerError(Case::invalidResponse);
    return *answer;
}

}  // namespace vantorel
