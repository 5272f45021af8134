#include "agent/agent_preferences.h"

#include "common/files.h"
#include "common/json.h"
#include "common/paths.h"

namespace vantorel {

namespace {
constexpr std::string_view kPreferredAgentKey = "Vantorel.preferredAgent";

json::Json storedPreferences() {
    auto contents = files::read(paths::preferencesFile());
    if (!contents) return json::Json::object();
    auto parsed = json::parse(*contents);
    if (!parsed || !parsed->is_object()) return json::Json::object();
    return *parsed;
}
}  // namespace

std::optional<VantorelAgent> preferredAgent() {
    auto raw = json::text(storedPreferences(), kPreferredAgentKey);
    if (!raw) return std::nullopt;
    return agentFromRawName(*raw);
}

void remember(VantorelAgent agent) {
    json::Json preferences = storedPreferences();
    preferences[std::string(kPreferredAgentKey)] = std::string(rawName(agent));
    try {
        files::writeAtomically(paths::preferencesFile(), json::pretty(preferences) + "\n");
    } catch (const std::exception&) {
    }
}

}  // namespace vantorel
