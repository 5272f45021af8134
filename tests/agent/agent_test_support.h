// Fake `codex` and `claude` executables for the runner and connector tests:
// small shell scripts written into a temporary folder that record their
// arguments (one per line) and their standard input, then behave as the
// test asks.
#pragma once

#include "support/temp_home.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vantorel::testing {

inline void writeExecutable(const std::filesystem::path& path, const std::string& script) {
    writeText(path, script);
    ::chmod(path.c_str(), 0755);
}

// A script that records "$@" into <folder>/<name>.args and its input into
// <folder>/<name>.stdin, then runs body.
inline std::filesystem::path writeFakeAgent(const std::filesystem::path& folder, const std::string& name,
                                            const std::string& body) {
    std::filesystem::path record = folder / name;
    std::string script = "#!/bin/sh\n"
                         "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                         record.string() + ".args'\n" + "cat > '" + record.string() + ".stdin'\n" + body + "\n";
    std::filesystem::path executable = folder / name;
    writeExecutable(executable, script);
    return executable;
}

inline std::vector<std::string> recordedArguments(const std::filesystem::path& folder, const std::string& name) {
    std::vector<std::string> lines;
    std::string content = readText(folder / (name + ".args"));
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A fake agent that prints what a real one printed, byte for byte: the
// recorded standard output and error are kept in files beside the script.
inline std::filesystem::path writeReplayingAgent(const std::filesystem::path& folder, const std::string& name,
                                                 const std::string& output, const std::string& error,
                                                 int exitCode) {
    std::filesystem::path record = folder / name;
    writeText(record.string() + ".out", output);
    writeText(record.string() + ".err", error);
    return writeFakeAgent(folder, name,
                          "cat '" + record.string() + ".out'\ncat '" + record.string() + ".err' >&2\nexit " +
                              std::to_string(exitCode));
}

// Outputs of Codex 0.171.0 and Claude Code 2.1.337 in the failures seen with
// them (keys, paths and identifiers shortened).
namespace recorded {

// A rejected key: retry notices, then the failure, all as JSON events on
// standard output; standard error stays empty.
inline const std::string kCodexRejectedKeyEvents =
    "{\"type\":\"thread.started\",\"thread_id\":\"019b0a4e-5d1c-7a32-9e61-3f0c2b8d4e17\"}\n"
    "{\"type\":\"turn.started\"}\n"
    "{\"type\":\"error\",\"message\":\"Reconnecting... 1/5 (unexpected status 401 Unauthorized: Incorrect API "
    "key provided: sk-dummy***0000.)\"}\n"
    "{\"type\":\"turn.failed\",\"error\":{\"message\":\"unexpected status 401 Unauthorized: Incorrect API key "
    "provided: sk-dummy***0000. You can find your API key at https://platform.openai.com/account/api-keys., url: "
    "http://127.0.0.1:41234/v1/responses\"}}\n";

// Transport noise written to standard error by runs that end either way.
inline const std::string kCodexTransportNoise =
    "2026-12-07T18:02:11.512034Z ERROR codex_api::endpoint::responses_websocket: failed to connect to Responses "
    "WebSocket stage=Unknown\n";

// vantorel-mcp missing with required=true: a log line, the error and its
// backtrace, all on standard error.
inline const std::string kCodexHelperMissing =
    "WARNING: proceeding, even though we could not create PATH aliases: Refusing to create helper binaries under "
    "temporary dir \"/tmp\" (codex_home: AbsolutePathBuf(\"/tmp/home/.codex\"))\n"
    "2026-12-07T19:24:05.326763Z ERROR codex_core::session: Failed to create session: required MCP servers failed "
    "to initialize: vantorel: No such file or directory (os error 2)\n"
    "Error: thread/start: thread/start failed: error creating thread: Fatal error: Failed to initialize session: "
    "required MCP servers failed to initialize: vantorel: No such file or directory (os error 2) (code -32603)\n"
    "\n"
    "Stack backtrace:\n"
    "   0: <unknown>\n"
    "   1: <unknown>\n"
    "   2: <unknown>\n"
    "   3: <unknown>\n"
    "   4: <unknown>\n"
    "   5: <unknown>\n"
    "   6: <unknown>\n"
    "   7: <unknown>\n"
    "   8: <unknown>\n"
    "   9: <unknown>\n";

// Claude Code's rejected key: one line on standard output, nothing on
// standard error, exit 1.
inline const std::string kClaudeRejectedKey = "Invalid API key · Fix external API key\n";

}  // namespace recorded

// Codex writes its last message to the path after --output-last-message.
inline const char* kWriteCodexAnswer =
    "out=''; prev=''\n"
    "for a in \"$@\"; do if [ \"$prev\" = '--output-last-message' ]; then out=\"$a\"; fi; prev=\"$a\"; done\n";

}  // namespace vantorel::testing
