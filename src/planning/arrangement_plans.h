// The multi-step and structural plans of the local planner: diagnose then
// structure the session, lengthen the intro with a riser before the first
// drop, import a library sample, build a club arrangement from the source
// loop (the bridge's 128-bar template, or a custom structure read from the
// request), and organise the tracks for the mix.
//
// Recognisers and builders read the normalised request (common/text.h);
// sample queries keep the request as typed. Arrangement structures travel as
// sections with one phase per 8 bars, each naming the track roles that play.
#pragma once

#include "planning/plan.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::SafeActionPlanner {

bool isCompositeFinishRequest(std::string_view normalized);
bool isIntroRiserRequest(std::string_view normalized);
bool isSampleImportRequest(std::string_view normalized);
bool isArrangementRequest(std::string_view normalized);

// The first sample role whose keyword the request contains ("kick" before
// "bass", so "bass drum" is a kick).
std::optional<std::string_view> sampleRole(std::string_view normalized);
// The French noun shown in the sample plan's titles ("kick", "son de basse"…).
std::string_view sampleRoleLabel(std::string_view role);

// A custom structure read from the request ("intro 32 mesures, premier drop
// mesure 65 pendant 16…"), or nothing when the request does not describe
// one or its sections are not whole multiples of 8 bars.
struct DetailedArrangement {
    std::vector<SafeArrangementSection> sections;
    std::optional<std::int64_t> sourceSceneIndex;
    std::string intent;
    std::string detail;
    std::int64_t totalBars = 0;
};
std::optional<DetailedArrangement> detailedArrangement(std::string_view normalized);

// The 136-bar structure of the intro plan: a 24-bar intro, then the club
// template.
std::vector<SafeArrangementSection> longIntroSections();

SafeActionPlan compositePlan(std::int64_t revision);
SafeActionPlan introRiserPlan(std::string_view trimmedPrompt, std::int64_t revision);
SafeActionPlan samplePlan(std::string_view normalized, std::string_view trimmedPrompt, double currentTime,
                          std::int64_t revision);
SafeActionPlan arrangementPlan(std::string_view normalized, std::int64_t revision);
SafeActionPlan organisationPlan(bool groupsRequested, std::int64_t revision);

// What the sample search receives: the request as typed, cut to the 300
// characters a step may carry.
std::string sampleQuery(std::string_view trimmedPrompt);

}  // namespace vantorel::SafeActionPlanner
