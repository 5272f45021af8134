#include "app/project_visual.h"

#include "common/json.h"
#include "common/text.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vantorel {

namespace {

// Plain substring tests on the folded question: "remix" matches "mix" and
// "tracks" matches "track" on purpose, a picture too many costs nothing.
constexpr std::string_view kTopics[] = {"analyse",  "analyze", "mix",     "arrangement", "structure",
                                        "energie",  "drum",    "batterie", "bass",       "basse",
                                        "track",    "piste",   "projet",  "morceau"};

bool namesProjectTopic(std::string_view question) {
    const std::string folded = text::normalized(question);
    return std::any_of(std::begin(kTopics), std::end(kTopics),
                       [&](std::string_view topic) { return text::contains(folded, topic); });
}

}  // namespace

std::optional<nlohmann::json> projectVisualPayload(std::string_view question, const nlohmann::json& context) {
    if (!namesProjectTopic(question)) return std::nullopt;
    const nlohmann::json* analysis = json::object(context, "projectAnalysis");
    if (analysis == nullptr) return std::nullopt;
    const nlohmann::json* tracks = json::member(*analysis, "tracks");
    if (tracks == nullptr || !tracks->is_array() || tracks->empty()) return std::nullopt;
    // An array holding anything but objects is not a track list.
    if (!std::all_of(tracks->begin(), tracks->end(), [](const nlohmann::json& t) { return t.is_object(); })) {
        return std::nullopt;
    }

    std::map<std::string, long long> roleCounts;
    long long contentTracks = 0;
    bool selectedFound = false;
    std::optional<std::string> selectedName;
    std::string selectedRole;
    for (const auto& track : *tracks) {
        std::string role = text::trim(json::text(track, "inferredRole", ""));
        if (role.empty()) role = "other";
        ++roleCounts[role];
        if (json::flag(track, "hasContent", false)) ++contentTracks;
        if (json::flag(track, "selected", false)) {
            // The last selected track of the array wins.
            selectedFound = true;
            selectedName = json::text(track, "name");
            selectedRole = role;
        }
    }

    // The map walks roles in ascending byte order, so a stable sort by count
    // leaves ties ordered by name.
    std::vector<std::pair<std::string, long long>> roles(roleCounts.begin(), roleCounts.end());
    std::stable_sort(roles.begin(), roles.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (roles.size() > kVisualRoleLimit) roles.resize(kVisualRoleLimit);
    nlohmann::json roleList = nlohmann::json::array();
    for (auto& [role, count] : roles) roleList.push_back({{"role", std::move(role)}, {"count", count}});

    nlohmann::json payload = {
        {"project", json::text(*analysis, "project", "Projet Ableton")},
        {"trackCount", static_cast<long long>(tracks->size())},
        {"contentTracks", contentTracks},
        {"arrangementBars", json::number(*analysis, "arrangementLengthBars", 0.0)},
        {"sectionCount", json::integer(*analysis, "sectionCountFromLocators", 0)},
        {"roles", std::move(roleList)},
    };
    if (selectedName) payload["selectedTrack"] = *selectedName;
    if (selectedFound) payload["selectedRole"] = selectedRole;
    return payload;
}

}  // namespace vantorel
