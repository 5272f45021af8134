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

// Codex writes its last message to the path after --output-last-message.
inline const char* kWriteCodexAnswer =
    "out=''; prev=''\n"
    "for a in \"$@\"; do if [ \"$prev\" = '--output-last-message' ]; then out=\"$a\"; fi; prev=\"$a\"; done\n";

}  // namespace vantorel::testing
