// RemotePlannerClient: the optional remote planning service.
//
// It exists only when the user (or an installer) has put "planner.json" in
// the app's folder (paths::appData()); without that file Vantorel works
// entirely locally. Two operations: `answer` gets a text answer for the
// technical-question flow, `plan` asks for a SafeActionPlan and returns it
// unvalidated (plans shown to the producer come from the local planner; a
// remote plan must pass SafePlanValidator like any other).
//
// Before anything leaves the machine, the Live session is reduced to a short
// whitelist of fields (sanitizedSession); a session that does not fit it
// sends nothing.
//
// Transport: HTTPS; plain HTTP only to a loopback host (127.0.0.1, ::1,
// localhost), which is also how tests reach a local server. No cookies, no
// cache, no redirects followed, no retries. A request fails after 15 s
// without data or 20 s in all. Calls block: run them off the main loop.
// The client is immutable after construction and may be shared between
// threads.
#pragma once

#include "common/error.h"
#include "planning/plan.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

enum class RemotePlannerErrorCase { invalidConfiguration, invalidSession, invalidResponse, remoteUnavailable };

class RemotePlannerError : public EnumError<RemotePlannerError, RemotePlannerErrorCase> {
public:
    static constexpr std::string_view typeName = "RemotePlannerError";
    static std::string_view caseName(RemotePlannerErrorCase kind);
    static std::string_view describe(RemotePlannerErrorCase kind);
    using EnumError::EnumError;
};

// The content of planner.json.
struct RemotePlannerConfiguration {
    std::string plannerUrl;                       // its path ends with "/api/plan"
    std::optional<std::string> authToken;         // "Authorization: Bearer …"
    std::optional<std::string> sitesBypassToken;  // "OAI-Sites-Authorization: Bearer …"

    // Nothing unless `plannerUrl` is a string; tokens of another type count
    // as absent.
    static std::optional<RemotePlannerConfiguration> decode(const nlohmann::json& value);
};

// One turn of the conversation history.
struct RemoteChatTurn {
    std::string role;  // "user" or "assistant"
    std::string content;
};

class RemotePlannerClient {
public:
    // The client of the user's planner.json, or nothing when the file is
    // missing, unreadable, not JSON or rejected, silently.
    static std::optional<RemotePlannerClient> configured();
    static std::optional<RemotePlannerClient> configured(const std::filesystem::path& file);

    // Throws invalidConfiguration unless the URL has a scheme and a host, its
    // path ends with "/api/plan", and it is either https to a loopback host
    // or with a token of at least 16 characters, or http to a loopback host.
    explicit RemotePlannerClient(const RemotePlannerConfiguration& configuration);

    const std::string& endpoint() const { return endpoint_; }
    // The chat endpoint: the plan endpoint with "plan" replaced by "chat".
    const std::string& chatEndpoint() const { return chatEndpoint_; }

    // POST {"prompt", "session"} to the plan endpoint. Throws invalidSession
    // (nothing sent), remoteUnavailable (no answer, or a status outside
    // 2xx) or invalidResponse (a body that is not {"plan": plan}).
    SafeActionPlan plan(std::string_view prompt, const nlohmann::json& session) const;

    // POST {"question", "session", "analysis", "history"} to the chat
    // endpoint; only the newest 12 turns are sent. The answer is returned as
    // received; a blank one is invalidResponse. Other errors as for plan.
    std::string answer(std::string_view question, const nlohmann::json& session, const nlohmann::json& analysis,
                       const std::vector<RemoteChatTurn>& history) const;

    // The whitelisted session: project, liveVersion, tempo, key, signature,
    // tracks, clips, selectedTrack and revision, each required with its type
    // (texts cut to their limits), plus projectScale when it is a string.
    // `tracks` and `clips` may be counts or the arrays the snapshot carries,
    // sent as their counts. Nothing when a field is missing or mistyped.
    static std::optional<nlohmann::json> sanitizedSession(const nlohmann::json& session);

    static constexpr std::chrono::seconds idleTimeout{15};
    static constexpr std::chrono::seconds totalTimeout{20};
    static constexpr std::size_t historyTurns = 12;

private:
    nlohmann::json post(const std::string& url, const nlohmann::json& body) const;

    std::string endpoint_;
    std::string chatEndpoint_;
    bool plainHttp_ = false;
    std::optional<std::string> authToken_;
    std::optional<std::string> sitesBypassToken_;
};

}  // namespace vantorel
