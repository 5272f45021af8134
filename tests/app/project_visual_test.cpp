#include "app/project_visual.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;

json track(std::optional<std::string> role, bool content = false, bool selected = false,
           std::optional<std::string> name = std::nullopt) {
    json t = {{"hasContent", content}, {"selected", selected}};
    if (role) t["inferredRole"] = *role;
    if (name) t["name"] = *name;
    return t;
}

json contextWith(json tracks) { return {{"projectAnalysis", {{"tracks", std::move(tracks)}}}}; }

TEST(ProjectVisualPayload, OnlyQuestionsAboutTheProjectWithTracksGetAPicture) {
    const json full = contextWith(json::array({track("drums")}));
    struct Row {
        const char* label;
        std::string question;
        json context;
        bool expected;
    };
    const Row rows[] = {
        {"no keyword", "comment ça va ?", full, false},
        {"capitals and accent fold to energie", "Pourquoi l’ÉNERGIE retombe ?", full, true},
        {"remix holds mix", "un remix possible ?", full, true},
        {"tracks holds track", "mes tracks sonnent mal", full, true},
        {"structure without projectAnalysis", "la structure du morceau ?", json::object(), false},
        {"empty tracks", "analyse le projet", contextWith(json::array()), false},
        {"tracks not an array", "analyse le projet", contextWith(json("x")), false},
        {"a track that is not an object", "analyse le projet", contextWith(json::array({track("bass"), 3})), false},
        {"context not an object", "analyse le projet", json::array(), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(projectVisualPayload(row.question, row.context).has_value(), row.expected);
    }
}

TEST(ProjectVisualPayload, CountsRolesContentAndTheLastSelectedTrack) {
    json context = contextWith(json::array({
        track("drums", true, true, "Kick"),
        track(" bass\n", true),
        track("drums", false),
        track(std::nullopt, true),
        track("   ", false, true),  // blank role counts as other; selected without name
    }));
    context["projectAnalysis"]["project"] = "Nuit";
    context["projectAnalysis"]["arrangementLengthBars"] = 64.5;
    context["projectAnalysis"]["sectionCountFromLocators"] = 4.0;
    auto payload = projectVisualPayload("analyse mon mix", context);
    ASSERT_TRUE(payload);
    EXPECT_EQ(*payload, json::parse(R"({
        "project": "Nuit", "trackCount": 5, "contentTracks": 3, "arrangementBars": 64.5, "sectionCount": 4,
        "roles": [{"role": "drums", "count": 2}, {"role": "other", "count": 2}, {"role": "bass", "count": 1}],
        "selectedRole": "other"})"));
}

TEST(ProjectVisualPayload, DefaultsAndTheRoleLimit) {
    json tracks = json::array();
    // Ten roles: "r0" three times, the others once each, names out of order.
    for (const char* role : {"r9", "r0", "r3", "r0", "r1", "r8", "r2", "r0", "r7", "r6", "r5", "r4"}) {
        tracks.push_back(track(role));
    }
    json context = contextWith(tracks);
    context["projectAnalysis"]["arrangementLengthBars"] = "long";
    auto payload = projectVisualPayload("la piste 3", context);
    ASSERT_TRUE(payload);
    EXPECT_EQ((*payload)["project"], "Projet Ableton");
    EXPECT_EQ((*payload)["arrangementBars"], 0.0);
    EXPECT_EQ((*payload)["sectionCount"], 0);
    EXPECT_FALSE(payload->contains("selectedTrack"));
    EXPECT_FALSE(payload->contains("selectedRole"));
    std::vector<std::string> roles;
    for (const auto& r : (*payload)["roles"]) roles.push_back(r["role"]);
    EXPECT_EQ(roles, (std::vector<std::string>{"r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7"}));
}

}  // namespace
}  // namespace vantorel
