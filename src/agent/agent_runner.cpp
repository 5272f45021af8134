#include "agent/agent_runner.h"

#include "agent/agent_failure.h"
#include "agent/agent_preferences.h"
#include "agent/utf8.h"
#include "common/files.h"
#include "common/json.h"
#include "common/paths.h"
#include "common/process.h"
#include "common/text.h"
#include "common/uuid.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

extern char** environ;

namespace vantorel {

namespace fs = std::filesystem;
using json::Json;

namespace EmbeddedAgentClient {

namespace {

std::string inQuotes(std::string_view value) { return "\"" + std::string(value) + "\""; }

// The helper path goes into a TOML string of Codex's --config.
std::string escapedForToml(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        if (c == '\\') escaped += "\\\\";
        else if (c == '"') escaped += "\\\"";
        else escaped += c;
    }
    return escaped;
}

}  // namespace

const std::vector<std::string>& enabledTools() {
    static const std::vector<std::string> tools = {
        "vantorel_get_session",          "vantorel_get_context",           "vantorel_analyze_project",
        "vantorel_analyze_mix_preparation", "vantorel_get_device_parameters", "vantorel_find_key",
        "vantorel_listen_selected_clip", "vantorel_get_master_listen",     "vantorel_search_samples",
    };
    return tools;
}

std::vector<std::string> codexArguments(const fs::path& workspacePath, const fs::path& outputPath,
                                        std::string_view reasoningEffort, const fs::path& helperPath,
                                        const std::optional<std::string>& sessionId) {
    std::string toolList;
    for (const auto& tool : enabledTools()) {
        if (!toolList.empty()) toolList += ",";
        toolList += inQuotes(tool);
    }
    std::vector<std::string> common = {
        "--json",
        "--skip-git-repo-check",
        "--ignore-user-config",
        "--ignore-rules",
        "--model",
        std::string(kCodexModel),
        "--config",
        "model_reasoning_effort=" + inQuotes(reasoningEffort),
        "--config",
        "mcp_servers.vantorel.command=" + inQuotes(escapedForToml(helperPath.string())),
        "--config",
        "mcp_servers.vantorel.required=true",
        "--config",
        "mcp_servers.vantorel.enabled_tools=[" + toolList + "]",
        "--config",
        "mcp_servers.vantorel.default_tools_approval_mode=" + inQuotes("auto"),
        "--output-last-message",
        outputPath.string(),
    };
    std::vector<std::string> arguments;
    bool resumed = sessionId && !sessionId->empty();
    arguments.emplace_back("exec");
    if (resumed) arguments.emplace_back("resume");
    arguments.insert(arguments.end(), common.begin(), common.end());
    if (resumed) {
        arguments.push_back(*sessionId);
    } else {
        for (const char* argument : {"--sandbox", "read-only", "--color", "never", "--cd"}) {
            arguments.emplace_back(argument);
        }
        arguments.push_back(workspacePath.string());
    }
    arguments.emplace_back("-");
    return arguments;
}

std::vector<std::string> claudeArguments(const fs::path& configPath, const std::optional<std::string>& newSessionId,
                                         const std::optional<std::string>& resumedSessionId) {
    std::string allowed;
    for (const auto& tool : enabledTools()) {
        if (!allowed.empty()) allowed += ",";
        allowed += "mcp__vantorel__" + tool;
    }
    std::vector<std::string> arguments = {
        "--print",       "--output-format",      "text",          "--permission-mode", "dontAsk", "--tools", "",
        "--mcp-config",  configPath.string(),    "--strict-mcp-config", "--allowedTools", allowed,
    };
    if (resumedSessionId) {
        arguments.emplace_back("--resume");
        arguments.push_back(*resumedSessionId);
    } else {
        arguments.emplace_back("--session-id");
        arguments.push_back(newSessionId.value_or(""));
    }
    return arguments;
}

fs::path helperPath(const std::optional<fs::path>& ownExecutable, const fs::path& agentExecutable) {
    if (ownExecutable && !ownExecutable->empty()) return ownExecutable->parent_path() / "vantorel-mcp";
    return agentExecutable.parent_path() / "vantorel-mcp";
}

void writeClaudeMCPConfig(const fs::path& file, const fs::path& helperPath) {
    Json config = {{"mcpServers", {{"vantorel", {{"command", helperPath.string()}, {"args", Json::array()}}}}}};
    files::writeAtomically(file, json::compact(config), 0600);
}

std::optional<std::string> codexThreadId(std::string_view standardOutput) {
    for (const auto& line : nonBlankLines(standardOutput)) {
        auto event = json::parse(line);
        if (!event || !event->is_object()) continue;
        if (json::text(*event, "type") != "thread.started") continue;
        auto thread = json::text(*event, "thread_id");
        if (thread && !thread->empty()) return thread;
    }
    return std::nullopt;
}

}  // namespace EmbeddedAgentClient

namespace {

// The four files of one run, removed however the run ends.
struct RunFiles {
    fs::path answer;
    fs::path output;
    fs::path error;
    fs::path mcpConfig;

    explicit RunFiles(const fs::path& folder)
        : answer(folder / ("vantorel-agent-" + uuid::upper() + ".txt")),
          output(folder / ("vantorel-agent-stdout-" + uuid::upper() + ".txt")),
          error(folder / ("vantorel-agent-stderr-" + uuid::upper() + ".txt")),
          mcpConfig(folder / ("vantorel-agent-mcp-" + uuid::upper() + ".json")) {}
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;
    ~RunFiles() {
        std::error_code ignored;
        for (const fs::path* file : {&answer, &output, &error, &mcpConfig}) fs::remove(*file, ignored);
    }
};

// Created empty and owner-only before the agent starts, so that a file of
// someone else's in the shared temporary folder is never written to.
bool createEmpty(const fs::path& file) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Claude Code retries a failing request with growing waits (0.6, 1.9, 4.4,
// 9, 17, 35 s…), even a rejected key when the server does not say not to:
// two retries (2.5 s of waiting) report a refusal within seconds of the
// agent's start and still ride out a brief overload.
constexpr std::string_view kClaudeRetries = "CLAUDE_CODE_MAX_RETRIES=2";

std::vector<std::string> claudeEnvironment() {
    std::vector<std::string> environment;
    std::string_view name = kClaudeRetries.substr(0, kClaudeRetries.find('=') + 1);
    for (char** entry = environ; *entry; ++entry) {
        if (std::string_view(*entry).rfind(name, 0) != 0) environment.emplace_back(*entry);
    }
    environment.emplace_back(kClaudeRetries);
    return environment;
}

std::string readText(const fs::path& file) { return validUtf8OrEmpty(files::read(file).value_or(std::string())); }

}  // namespace

AgentRunner::AgentRunner() : AgentRunner(AgentConnector(), EmbeddedAgentClient::kTimeLimit) {}

AgentRunner::AgentRunner(AgentConnector connector, std::chrono::milliseconds timeLimit)
    : connector_(std::move(connector)), timeLimit_(timeLimit) {}

std::optional<VantorelAgent> AgentRunner::selectedAgent() const {
    if (auto preferred = preferredAgent(); preferred && connector_.isAvailable(*preferred)) return preferred;
    if (connector_.isAvailable(VantorelAgent::codex)) return VantorelAgent::codex;
    if (connector_.isAvailable(VantorelAgent::claude)) return VantorelAgent::claude;
    return std::nullopt;
}

EmbeddedAgentClient::RunResult AgentRunner::run(VantorelAgent agent, std::string_view prompt,
                                                std::string_view codexReasoningEffort,
                                                const std::optional<std::string>& sessionId) const {
    using namespace EmbeddedAgentClient;
    auto executable = connector_.executable(agent);
    if (!executable) throw EmbeddedAgentError(EmbeddedAgentErrorCase::unavailable);

    fs::path temporary = paths::temporary();
    fs::path workspace = temporary / "VantorelAgentWorkspace";
    std::error_code ignored;
    fs::create_directories(workspace, ignored);

    RunFiles files(temporary);
    if (!createEmpty(files.output) || !createEmpty(files.error)) {
        throw EmbeddedAgentError(EmbeddedAgentErrorCase::launchFailed);
    }

    fs::path helper = helperPath(connector_.ownExecutable(), *executable);
    // Codex refuses to run without the helper (required=true); Claude Code
    // would answer anyway, without the session's data, so it is not started.
    if (agent == VantorelAgent::claude && !AgentConnector::isExecutableFile(helper)) {
        throw EmbeddedAgentError::failed(
            std::string(AgentConnectorError::describe(AgentConnectorErrorCase::helperMissing)));
    }
    bool hasSession = sessionId && !sessionId->empty();
    std::optional<std::string> claudeSession;
    process::SpawnOptions options;
    options.arguments.push_back(executable->string());
    std::vector<std::string> arguments;
    if (agent == VantorelAgent::codex) {
        arguments = codexArguments(workspace, files.answer, codexReasoningEffort, helper, sessionId);
    } else {
        claudeSession = hasSession ? *sessionId : uuid::lower();
        try {
            writeClaudeMCPConfig(files.mcpConfig, helper);
        } catch (const std::exception&) {
            throw EmbeddedAgentError(EmbeddedAgentErrorCase::launchFailed);
        }
        arguments = hasSession ? claudeArguments(files.mcpConfig, std::nullopt, claudeSession)
                               : claudeArguments(files.mcpConfig, claudeSession, std::nullopt);
    }
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.output = process::Stream::file(files.output);
    options.error = process::Stream::file(files.error);
    if (agent == VantorelAgent::claude) options.environment = claudeEnvironment();

    // The prompt is fed within the time limit too: an agent that never reads
    // its input must not hold the run past the limit either.
    process::RunResult outcome;
    try {
        outcome = process::run(std::move(options), prompt, timeLimit_);
    } catch (const std::system_error&) {
        throw EmbeddedAgentError(EmbeddedAgentErrorCase::launchFailed);
    }
    if (outcome.timedOut || !outcome.status) throw EmbeddedAgentError(EmbeddedAgentErrorCase::timedOut);
    const process::ExitStatus& status = *outcome.status;

    std::string output = readText(files.output);
    std::string error = readText(files.error);
    if (!status.success()) throw EmbeddedAgentError::failed(readableFailure(agent, error, output));

    std::string text = text::trim(readText(files.answer));
    if (text.empty()) text = text::trim(output);
    if (text.empty()) throw EmbeddedAgentError(EmbeddedAgentErrorCase::emptyResponse);

    RunResult result;
    result.answer = text::graphemePrefix(text, kAnswerLengthCap);
    if (agent == VantorelAgent::codex) {
        result.sessionId = codexThreadId(output);
        if (!result.sessionId) result.sessionId = sessionId;
    } else {
        result.sessionId = claudeSession;
    }
    return result;
}

}  // namespace vantorel
