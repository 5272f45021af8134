#include "agent/agent_failure.h"

#include "common/json.h"
#include "common/regex.h"
#include "common/text.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace vantorel::EmbeddedAgentClient {

namespace {

constexpr std::size_t kFailureLineCap = 900;
constexpr std::string_view kNoDiagnosis = "L’agent IA a refusé la requête sans fournir de diagnostic.";

// Words that make a line of the agent's own output worth showing when no
// known cause matched.
constexpr std::string_view kTellingWords[] = {"error", "failed", "limit",  "quota", "rate",   "context",
                                              "token", "login",  "auth",   "model", "request"};

// Codex's tracing lines ("2026-…Z ERROR codex_api::endpoint::responses_websocket: failed to connect…") are
// written even by runs that end well or fail for another reason, and the
// backtrace printed under a fatal error says nothing a producer can use.
constexpr std::string_view kNoiseLine =
    "^\\s*(?:\\S+\\s+)?(?:ERROR|WARN|INFO|DEBUG|TRACE)\\s+[A-Za-z_][A-Za-z0-9_]*(?:::[A-Za-z0-9_]+)+"
    "(?:\\{[^}]*\\})?:|^\\s*(?:Stack backtrace:|Backtrace:|Caused by:|Location:|\\d+:\\s|at\\s+\\S)"
    "|^WARNING: |RUST_BACKTRACE";

enum class Cause { helperMissing, helperFailed, key, limit, model, network };

struct CausePattern {
    Cause cause;
    std::string_view pattern;
};

// In order: a line about vantorel-mcp is about the helper whatever else it
// says; a 401 reply often also names the model it was asked for.
constexpr CausePattern kCauses[] = {
    {Cause::helperMissing,
     "(?:mcp server|vantorel).*(?:no such file|os error 2\\b|permission denied|os error 13\\b|enoent|eacces)"},
    {Cause::helperFailed,
     "required mcp servers? failed|mcp server.*vantorel.*(?:fail|error)|vantorel.*(?:failed to (?:start|"
     "initiali[sz]e)|connection closed)|vantorel-mcp"},
    {Cause::key,
     "\\b401\\b|unauthori[sz]ed|(?:invalid|incorrect|missing|expired|revoked) (?:x-)?api[ _-]?key|"
     "api[ _-]?key (?:is )?(?:invalid|incorrect|missing|not (?:set|found|valid))|invalid_api_key|"
     "authentication[_ ](?:error|failed)|not logged in|log ?in required|please (?:run )?/?login|"
     "oauth token (?:has )?expired"},
    {Cause::limit,
     "\\b429\\b|rate[ _-]?limit|quota|usage limit|too many requests|credit balance|billing|spend(?:ing)? limit"},
    {Cause::model,
     "model_not_found|(?:unknown|unsupported|invalid) model|model\\b.{0,80}(?:does not exist|not found|"
     "not supported|is not available|unavailable)|issue with the selected model"},
    {Cause::network,
     "error sending request|connection refused|failed to connect|could not connect|unable to connect|"
     "network is unreachable|dns error|failed to lookup address|could not resolve|stream disconnected"},
};

std::string sentence(Cause cause, VantorelAgent agent) {
    std::string name(displayName(agent));
    switch (cause) {
        case Cause::helperMissing:
            return std::string(AgentConnectorError::describe(AgentConnectorErrorCase::helperMissing));
        case Cause::helperFailed: return "Le serveur MCP Vantorel n’a pas pu démarrer. Réinstalle Vantorel.";
        case Cause::key:
            return name + " a refusé la clé d’accès : reconnecte-toi avec `" +
                   (agent == VantorelAgent::codex ? "codex login" : "claude auth login") + "`, puis réessaie.";
        case Cause::limit:
            return name + " a atteint une limite d’utilisation (quota ou débit) : patiente quelques minutes ou "
                          "vérifie ton abonnement, puis réessaie.";
        case Cause::model:
            return name + " ne reconnaît pas le modèle demandé : mets " + name +
                   " à jour ou vérifie que ton compte y a accès, puis réessaie.";
        case Cause::network:
            return name + " n’a pas pu joindre son service : vérifie la connexion à Internet, puis réessaie.";
    }
    return std::string(kNoDiagnosis);
}

std::optional<Cause> causeOf(std::string_view line) {
    for (const auto& [cause, pattern] : kCauses) {
        if (regex::contains(pattern, line, regex::caseInsensitive)) return cause;
    }
    return std::nullopt;
}

std::string withoutTerminalEscapes(std::string_view line) {
    std::string plain;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            i += 2;
            while (i < line.size() && !(line[i] >= '@' && line[i] <= '~')) ++i;
            continue;
        }
        plain += line[i];
    }
    return plain;
}

// The human part of an error object: error.message, else message.
std::optional<std::string> messageOf(const json::Json& value) {
    if (!value.is_object()) return std::nullopt;
    if (const json::Json* error = json::object(value, "error")) {
        if (auto message = json::text(*error, "message"); message && !message->empty()) return message;
    }
    if (auto message = json::text(value, "message"); message && !message->empty()) return message;
    return std::nullopt;
}

// A line with a JSON object in it ("API Error: 401 {"type":"error",…}") shows
// the object's message in its place; a line that is nothing but JSON without
// a message is not shown at all.
std::optional<std::string> readable(std::string_view raw) {
    std::string line = text::trim(withoutTerminalEscapes(raw));
    std::size_t brace = line.find('{');
    if (brace != std::string::npos) {
        if (auto value = json::parse(std::string_view(line).substr(brace)); value && value->is_object()) {
            std::string prefix = text::trim(std::string_view(line).substr(0, brace));
            auto message = messageOf(*value);
            if (message) line = prefix.empty() ? *message : prefix + " " + *message;
            else if (prefix.empty()) return std::nullopt;
            else line = prefix;
        }
    }
    // Messages may carry line breaks of their own.
    std::replace(line.begin(), line.end(), '\n', ' ');
    line = text::trim(line);
    if (line.empty()) return std::nullopt;
    return line;
}

// Codex's own report of the failure: the last "turn.failed" event's message,
// else the last "error" event's (which also carries retry notices).
std::optional<std::string> codexFailureEvent(std::string_view standardOutput) {
    std::optional<std::string> turnFailed;
    std::optional<std::string> error;
    for (const auto& line : nonBlankLines(standardOutput)) {
        auto event = json::parse(line);
        if (!event || !event->is_object()) continue;
        auto type = json::text(*event, "type");
        if (!type) continue;
        if (*type == "turn.failed") {
            if (auto message = messageOf(*event)) turnFailed = message;
        } else if (*type == "error") {
            if (auto message = messageOf(*event)) error = message;
        }
    }
    return turnFailed ? turnFailed : error;
}

bool isTelling(const std::string& line) {
    std::string lowered = text::lower(line);
    return std::any_of(std::begin(kTellingWords), std::end(kTellingWords),
                       [&](std::string_view word) { return text::contains(lowered, word); });
}

std::string capped(const std::string& line) { return text::graphemePrefix(line, kFailureLineCap); }

}  // namespace

std::vector<std::string> nonBlankLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!text::trim(line).empty()) lines.emplace_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string readableFailure(VantorelAgent agent, std::string_view standardError, std::string_view standardOutput) {
    std::optional<std::string> event = codexFailureEvent(standardOutput);
    if (event) event = readable(*event);

    // Most telling first: the event, then standard error from its last line
    // back, then standard output from its last line back.
    std::vector<std::string> errorLines;
    for (const auto& line : nonBlankLines(standardError)) {
        if (regex::contains(kNoiseLine, withoutTerminalEscapes(line))) continue;
        if (auto shown = readable(line)) errorLines.push_back(std::move(*shown));
    }
    std::reverse(errorLines.begin(), errorLines.end());
    std::vector<std::string> outputLines;
    for (const auto& line : nonBlankLines(standardOutput)) {
        if (json::parse(line)) continue;  // Codex's other events
        if (auto shown = readable(line)) outputLines.push_back(std::move(*shown));
    }
    std::reverse(outputLines.begin(), outputLines.end());

    std::vector<const std::string*> candidates;
    if (event) candidates.push_back(&*event);
    for (const auto& line : errorLines) candidates.push_back(&line);
    for (const auto& line : outputLines) candidates.push_back(&line);
    for (const std::string* line : candidates) {
        if (auto cause = causeOf(*line)) return sentence(*cause, agent);
    }

    if (event) return capped(*event);
    for (const auto* lines : {&errorLines, &outputLines}) {
        for (const auto& line : *lines) {
            if (isTelling(line)) return capped(line);
        }
    }
    return std::string(kNoDiagnosis);
}

}  // namespace vantorel::EmbeddedAgentClient
