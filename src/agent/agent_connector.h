// AgentConnector: finds the Codex and Claude Code executables and registers
// vantorel-mcp with the one the producer picks, so the agent can use the
// app's tools, inside and outside the app.
//
// An app started from the desktop gets a minimal PATH, so besides PATH a
// few fixed package-manager folders are searched. The folders and the app's
// own executable (whose folder holds vantorel-mcp) are fixed at
// construction: the product uses the defaults, tests point them at a
// temporary folder.
//
// Every call blocks while the agent's own commands run (no time limit):
// call it off the main loop. No state is kept beyond the preferred agent.
#pragma once

#include "agent/agent_types.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantorel {

class AgentConnector {
public:
    // The product's search: PATH read at each call, then the fixed folders;
    // the running executable's own location.
    AgentConnector();
    AgentConnector(std::vector<std::filesystem::path> searchFolders,
                   std::optional<std::filesystem::path> ownExecutable);

    // PATH entries (empty ones dropped), ~/.npm-global/bin, ~/.local/bin,
    // /opt/homebrew/bin, /usr/local/bin, /usr/bin.
    static std::vector<std::filesystem::path> defaultSearchFolders();
    // The running program, from /proc/self/exe; nothing when unreadable.
    static std::optional<std::filesystem::path> runningExecutable();

    std::vector<std::filesystem::path> searchFolders() const;
    const std::optional<std::filesystem::path>& ownExecutable() const { return ownExecutable_; }

    // A regular file the user may execute (a folder of that name is not).
    static bool isExecutableFile(const std::filesystem::path& candidate);
    // The first folder/name that is an executable regular file.
    std::optional<std::filesystem::path> executable(const std::string& name) const;
    std::optional<std::filesystem::path> executable(VantorelAgent agent) const;
    bool isAvailable(VantorelAgent agent) const;

    // Replaces any earlier "vantorel" registration of the agent with
    // vantorel-mcp next to the app's executable, then makes the agent the
    // preferred one. Returns the French sentence to show; throws
    // AgentConnectorError, whose message is the agent's standard error.
    std::string connect(VantorelAgent agent) const;

    // Runs executable with arguments and returns its trimmed standard output;
    // throws AgentConnectorError::commandFailed when it cannot start or exits
    // with another status than 0.
    static std::string run(const std::filesystem::path& executable, const std::vector<std::string>& arguments);

private:
    std::optional<std::vector<std::filesystem::path>> searchFolders_;  // nothing: the product's defaults
    std::optional<std::filesystem::path> ownExecutable_;
};

}  // namespace vantorel
