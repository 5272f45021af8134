// Which indexed Live Set the open set is: by its name, else by the
// fingerprint of its tracks and tempo.
#include "app/app_delegate.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;

ALSProjectSummary indexed(const std::string& name, std::vector<std::string> tracks, std::optional<double> tempo) {
    ALSProjectSummary summary;
    summary.name = name;
    summary.path = "/musique/" + name + ".als";
    summary.tempo = tempo;
    for (auto& track : tracks) summary.tracks.push_back({std::move(track), 1, 1, false});
    return summary;
}

json live(const std::string& project, const std::vector<std::string>& tracks, double tempo = 124) {
    json names = json::array();
    for (const auto& track : tracks) names.push_back({{"name", track}});
    return {{"project", project}, {"tempo", tempo}, {"tracks", names}};
}

std::optional<ALSProjectIndex> indexOf(std::vector<ALSProjectSummary> projects) {
    ALSProjectIndex index;
    index.folderPath = "/musique";
    index.projects = std::move(projects);
    return index;
}

json identify(const json& snapshot, const std::optional<ALSProjectIndex>& index) {
    return AppDelegate::resolveProjectIdentity(snapshot, index);
}

TEST(ProjectIdentity, NameFirstWithoutCase) {
    auto index = indexOf({indexed("Nuit", {"Drums"}, 120), indexed("Aube", {"Kick"}, 128)});
    json found = identify(live(" nuit ", {"Autre"}), index);
    EXPECT_EQ(found["source"], "indexedName");
    EXPECT_EQ(found["path"], "/musique/Nuit.als");

    EXPECT_EQ(identify(live("Live Set sans nom", {"Drums"}), index)["source"], "unsaved");
    EXPECT_EQ(identify(live("Nuit", {"Drums"}), std::nullopt)["source"], "liveName");
}

TEST(ProjectIdentity, FingerprintOfTracksAndTempo) {
    // Same track names in another case (and accented capitals), same count and tempo.
    auto index = indexOf({indexed("Nuit v1", {"kick", "BASSE", "énergie", "vox"}, 124),
                          indexed("Aube", {"Drums", "Lead"}, 100)});
    json found = identify(live("Nuit v2", {"Kick", "Basse", "Énergie", "Vox"}), index);
    EXPECT_EQ(found["source"], "sessionFingerprint");
    EXPECT_EQ(found["name"], "Nuit v1");
    EXPECT_NEAR(found["confidence"].get<double>(), 1.0, 1e-9);

    // Capitals fold to their own small letters, accents kept: É is é, never e.
    // Two tracks of two, so the overlap alone decides.
    index = indexOf({indexed("Élan v1", {"élan", "énergie"}, 124)});
    EXPECT_EQ(identify(live("Élan v2", {"Élan", "Énergie"}), index)["source"], "sessionFingerprint");
    EXPECT_EQ(identify(live("Élan v2", {"Elan", "Energie"}), index)["source"], "liveName");
}

TEST(ProjectIdentity, RepeatedNamesAndCloseScoresAreNotEvidence) {
    // One shared name repeated four times is one shared name (0.4375), not four (1.0).
    auto index = indexOf({indexed("Boucle", {"Kick", "Kick", "KICK", "kick"}, 124)});
    EXPECT_EQ(identify(live("Autre", {"Kick", "Basse", "Pad", "Vox"}), index)["source"], "liveName");

    // Two sets that fit equally well: no margin, no claim.
    index = indexOf({indexed("Nuit v1", {"Kick", "Basse"}, 124), indexed("Nuit v3", {"Kick", "Basse"}, 124)});
    EXPECT_EQ(identify(live("Nuit v2", {"Kick", "Basse"}), index)["source"], "liveName");
}

}  // namespace
}  // namespace vantorel
