#include "common/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vantorel::paths {

namespace {
// An XDG variable counts only when it holds an absolute path.
const char* absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return nullptr;
    return value;
}
}  // namespace

std::filesystem::path home() {
    if (const char* value = std::getenv("HOME"); value != nullptr && value[0] != '\0') return value;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
    return "/";
}

std::filesystem::path applicationSupport() {
    if (const char* value = absoluteVariable("XDG_DATA_HOME")) return value;
    return home() / ".local" / "share";
}

std::filesystem::path appData() { return applicationSupport() / "Vantorel"; }

std::filesystem::path bridgeConfiguration() { return appData() / "bridge.json"; }

std::filesystem::path configHome() {
    if (const char* value = absoluteVariable("XDG_CONFIG_HOME")) return value;
    return home() / ".config";
}

std::filesystem::path preferencesFile() { return configHome() / "Vantorel" / "preferences.json"; }

std::filesystem::path temporary() {
    if (const char* value = absoluteVariable("TMPDIR")) return value;
    return "/tmp";
}

std::filesystem::path runtime() {
    if (const char* value = absoluteVariable("XDG_RUNTIME_DIR")) return value;
    return temporary();
}

std::filesystem::path userLibrary() { return home() / "Music" / "Ableton" / "User Library"; }

std::filesystem::path remoteScripts() { return userLibrary() / "Remote Scripts"; }

}  // namespace vantorel::paths
