// VantorelMilestoneEngine: the six production stages of the open Live Set.
//
// A pure function of the bridge's project analysis, the latest local audio
// measurement and the stage history kept by VantorelLifecycleStore. It reads
// nothing else and writes nothing. For every stage it says whether the stage
// is reached, what it observed (French sentences with counts and measured
// values) and what still blocks it (French imperatives), in fixed orders the
// page and the agent rely on.
//
// Stages are sequential: a stage is reached only when it and every stage
// before it meet their criteria. The criteria carry a version, stamped on
// every snapshot and every stored event, so that history written under other
// thresholds can be told apart.
#pragma once

#include "common/error.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

enum class VantorelMilestoneState { reached, inProgress, notStarted };

// "reached", "inProgress", "notStarted".
std::string_view toString(VantorelMilestoneState state);
std::optional<VantorelMilestoneState> milestoneStateFromString(std::string_view text);

// One stage's verdict.
struct VantorelMilestoneAssessment {
    int id = 1;  // stage number, 1 to 6
    std::string title;
    VantorelMilestoneState state = VantorelMilestoneState::notStarted;
    std::vector<std::string> evidence;
    std::vector<std::string> missing;  // empty when the stage's own criteria are met
    // When the stage was last recorded as reached; absent when never.
    std::optional<std::chrono::system_clock::time_point> achievedAt;

    bool operator==(const VantorelMilestoneAssessment&) const = default;
};

// One entry of a project's stage history.
struct VantorelMilestoneEvent {
    int milestoneID = 1;
    std::string kind;  // "reached" or "regressed"
    std::chrono::system_clock::time_point timestamp;
    std::string criteriaVersion;

    nlohmann::json toJson() const;
    // Throws project::DecodeFailure when a key is missing or mistyped.
    static VantorelMilestoneEvent fromJson(const nlohmann::json& value);

    bool operator==(const VantorelMilestoneEvent&) const = default;
};

enum class VantorelLifecycleErrorCase { invalidEncoding };

class VantorelLifecycleError : public EnumError<VantorelLifecycleError, VantorelLifecycleErrorCase> {
public:
    static constexpr std::string_view typeName = "VantorelLifecycleError";
    static std::string_view caseName(VantorelLifecycleErrorCase) { return "invalidEncoding"; }
    static std::string_view describe(VantorelLifecycleErrorCase) {
        return "Le cycle de vie du projet n’a pas pu être encodé.";
    }
    using EnumError::EnumError;
};

// The engine's result for one project.
struct VantorelLifecycleSnapshot {
    std::string project;
    std::string criteriaVersion;
    int currentMilestone = 1;  // stage being worked on, 1 to 6
    std::chrono::system_clock::time_point updatedAt;
    std::vector<VantorelMilestoneAssessment> milestones;  // exactly six, stage 1 first
    std::vector<VantorelMilestoneEvent> timeline;         // the history handed in

    // The JSON object the page receives as "lifecycle" and the agent reads
    // under the context's `lifecycle` key: field names as keys, ISO 8601
    // dates, `achievedAt` left out when absent.
    nlohmann::json dictionary() const;
    // Throws project::DecodeFailure when a key is missing or mistyped.
    static VantorelLifecycleSnapshot fromJson(const nlohmann::json& value);
};

namespace VantorelMilestoneEngine {

inline constexpr std::string_view criteriaVersion = "2026.08.25-v1";

// Stage titles, stage 1 first: "Idée", "Groove", "Arrangement",
// "Transitions", "Mix", "Pre-master".
const std::vector<std::string>& stageTitles();

// Judges the six stages. `analysis` is the bridge's project-analysis object
// (anything else reads as an empty object); `audioMeasurement` the latest
// measurement's dictionary, if any; `achievedDates` maps a stage number to the
// date it was last reached; `timeline` is copied into the snapshot. `now`
// becomes `updatedAt`. Never fails.
VantorelLifecycleSnapshot evaluate(std::string_view project, const nlohmann::json& analysis,
                                   const std::optional<nlohmann::json>& audioMeasurement = std::nullopt,
                                   const std::map<int, std::chrono::system_clock::time_point>& achievedDates = {},
                                   const std::vector<VantorelMilestoneEvent>& timeline = {},
                                   std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace VantorelMilestoneEngine

}  // namespace vantorel
