#include "agent/agent_connector.h"

#include "agent/agent_preferences.h"
#include "agent/utf8.h"
#include "common/paths.h"
#include "common/process.h"
#include "common/text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <system_error>

namespace vantorel {

namespace fs = std::filesystem;

namespace {

// The registration commands have no time limit of their own; a year stands
// for "until it ends".
constexpr std::chrono::milliseconds kNoLimit = std::chrono::hours(24 * 365);

}  // namespace

AgentConnector::AgentConnector() : ownExecutable_(runningExecutable()) {}

AgentConnector::AgentConnector(std::vector<fs::path> searchFolders, std::optional<fs::path> ownExecutable)
    : searchFolders_(std::move(searchFolders)), ownExecutable_(std::move(ownExecutable)) {}

std::vector<fs::path> AgentConnector::defaultSearchFolders() {
    std::vector<fs::path> folders;
    if (const char* path = std::getenv("PATH")) {
        std::string_view entries(path);
        while (true) {
            std::size_t end = entries.find(':');
            std::string_view entry = entries.substr(0, end);
            if (!entry.empty()) folders.emplace_back(entry);
            if (end == std::string_view::npos) break;
            entries.remove_prefix(end + 1);
        }
    }
    fs::path home = paths::home();
    folders.push_back(home / ".npm-global/bin");
    folders.push_back(home / ".local/bin");
    folders.emplace_back("/opt/homebrew/bin");
    folders.emplace_back("/usr/local/bin");
    folders.emplace_back("/usr/bin");
    return folders;
}

std::optional<fs::path> AgentConnector::runningExecutable() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error || self.empty()) return std::nullopt;
    return self;
}

bool AgentConnector::isExecutableFile(const fs::path& candidate) {
    struct stat info {};
    if (::stat(candidate.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    return ::access(candidate.c_str(), X_OK) == 0;
}

std::vector<fs::path> AgentConnector::searchFolders() const {
    return searchFolders_ ? *searchFolders_ : defaultSearchFolders();
}

std::optional<fs::path> AgentConnector::executable(const std::string& name) const {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    for (const auto& folder : searchFolders()) {
        fs::path candidate = fs::path(folder.string() + "/" + name);
        if (isExecutableFile(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<fs::path> AgentConnector::executable(VantorelAgent agent) const {
    return executable(std::string(executableName(agent)));
}

bool AgentConnector::isAvailable(VantorelAgent agent) const { return executable(agent).has_value(); }

std::string AgentConnector::connect(VantorelAgent agent) const {
    auto command = executable(agent);
    if (!command) throw AgentConnectorError::commandNotFound(agent);
    if (!ownExecutable_) throw AgentConnectorError(AgentConnectorErrorCase::helperMissing);
    fs::path server = ownExecutable_->parent_path() / "vantorel-mcp";
    if (!isExecutableFile(server)) throw AgentConnectorError(AgentConnectorErrorCase::helperMissing);

    std::vector<std::string> removal;
    std::vector<std::string> registration;
    if (agent == VantorelAgent::claude) {
        removal = {"mcp", "remove", "--scope", "user", "vantorel"};
        registration = {"mcp", "add", "--transport", "stdio", "--scope", "user", "vantorel", "--", server.string()};
    } else {
        removal = {"mcp", "remove", "vantorel"};
        registration = {"mcp", "add", "vantorel", "--", server.string()};
    }
    // Nothing registered yet is the usual case on a first connection.
    try {
        run(*command, removal);
    } catch (const std::exception&) {
    }
    // What the agents print on success is English with file paths ("Added
    // global MCP server 'vantorel'.", "File modified: …/.claude.json"): the
    // producer reads the product's own sentence instead.
    run(*command, registration);
    remember(agent);
    return "Vantorel est connecté à " + std::string(displayName(agent)) + ".";
}

std::string AgentConnector::run(const fs::path& executable, const std::vector<std::string>& arguments) {
    process::SpawnOptions options;
    options.arguments.push_back(executable.string());
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.output = process::Stream::pipe();
    options.error = process::Stream::pipe();
    std::string fileName = executable.filename().string();
    process::RunResult result;
    try {
        result = process::run(std::move(options), {}, kNoLimit);
    } catch (const std::system_error&) {
        throw AgentConnectorError::commandFailed("Impossible de lancer " + fileName + ".");
    }
    std::string output = validUtf8OrEmpty(std::move(result.output));
    std::string error = validUtf8OrEmpty(std::move(result.error));
    if (result.status && result.status->success()) return text::trim(output);
    std::string message = text::trim(error);
    if (message.empty()) message = "La configuration de " + fileName + " a échoué.";
    throw AgentConnectorError::commandFailed(message);
}

}  // namespace vantorel
