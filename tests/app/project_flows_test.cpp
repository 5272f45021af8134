#include "app/flow_fixture.h"
#include "common/json.h"
#include "project/live_set_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantorel {
namespace {

using nlohmann::json;
using testing::FlowFixture;

std::filesystem::path writeSets(const std::filesystem::path& folder, int count) {
    for (int i = 0; i < count; ++i) {
        testing::writeLiveSet(folder / ("Set " + std::to_string(i) + ".als"), testing::simpleSet());
    }
    return folder;
}

TEST(ProjectIndexFlow, TheEventIsTheSerialisedIndexByteForByte) {
    FlowFixture f;
    f.app->scanProjectFolder(writeSets(f.home.root() / "Zénith", 3));
    f.waitFor("projectIndex");
    ALSProjectIndex scanned = *f.app->projectIndex;
    // What the scanner never writes but a stored index may hold: one hazard a string.
    ALSProjectSummary odd = scanned.projects.front();
    odd.path = "/P/\"x\".als";
    odd.name = "a\\b";
    odd.creator = "tab\tand\x01";
    odd.schemaVersion = "\xff\xfe";
    odd.stageName = "été \u201cnuit\u201d";
    odd.missing = "\x7f";
    odd.tempo.reset();
    odd.score = 0.1 + 0.2;
    odd.longestClipBeats = 1e21;
    odd.arrangementLengthBeats = std::nan("");
    odd.fileSize = std::numeric_limits<std::int64_t>::max();
    odd.tracks = {{"Basse \U0001F3B8", 0, 0, false}, {"", -3, 2, true}};
    odd.warnings = {"a", "\n\xc3"};
    scanned.projects.push_back(odd);
    scanned.warnings = {"x.als — Impossible de décompresser x.als."};

    for (const ALSProjectIndex& index : {scanned, ALSProjectIndex{}}) {
        json tree = index.dictionary();
        tree["indexed"] = true;
        f.app->projectIndex = index;
        f.app->sendProjectIndex();
        EXPECT_EQ(f.web.lastText, vantorel::json::compact(json{{"event", "projectIndex"}, {"value", tree}}));
    }
}

TEST(ProjectIndexFlow, TheNewestScanOrClearWinsAndAFailedSaveKeepsTheOldIndex) {
    FlowFixture f;
    const auto a = writeSets(f.home.root() / "A", 30);
    const auto b = writeSets(f.home.root() / "B", 1);
    // A slow scan of A, then a scan of B: A's result is dropped.
    f.app->scanProjectFolder(a);
    f.app->scanProjectFolder(b);
    f.settle();
    ASSERT_EQ(f.values("projectIndex").size(), 1u);
    ASSERT_TRUE(f.app->projectIndex);
    EXPECT_EQ(f.app->projectIndex->projects.size(), 1u);

    // A folder where the file belongs: the write cannot replace it (even as
    // root), and the old index stays.
    const auto file = f.home.appData() / "project-index.json";
    std::filesystem::remove(file);
    testing::writeText(file / "blocker", "x");
    f.app->scanProjectFolder(a);
    json failed = f.waitFor("projectScanResult");
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["message"], ALSProjectIndexStoreError(ALSProjectIndexStoreErrorCase::saveFailed).description());
    EXPECT_EQ(f.app->projectIndex->projects.size(), 1u);
    EXPECT_EQ(f.values("projectIndex").size(), 1u);

    // A clear during a scan stays cleared, in memory and on disk.
    std::filesystem::remove_all(file);
    f.app->scanProjectFolder(a);
    f.app->clearProjectIndex();
    f.settle();
    EXPECT_FALSE(f.app->projectIndex);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(f.values("projectScanResult").back()["message"], "Index local effacé. Aucun fichier Ableton n’a été modifié.");
    EXPECT_EQ(f.values("projectIndex").back(), (json{{"indexed", false}, {"projects", json::array()}}));
}

TEST(OnboardingFlow, RefusalsUseTheStoresSentenceAndAnswersEndTheWait) {
    FlowFixture f;
    f.connect("Nuit.als");
    f.app->saveProducerProfile(json{{"level", "expert"}});
    EXPECT_EQ(f.waitFor("onboardingError")["message"], "Complète les cinq choix obligatoires du profil producteur.");
    f.app->saveProducerProfile(json{{"level", "pro"}, {"genre", "techno"}, {"targetFormat", "club"},
                                    {"mainBlocker", "le mix"}, {"answerStyle", "direct"}});
    EXPECT_EQ(f.waitFor("producerProfileSaved")["profile"]["genre"], "techno");
    f.app->validateProjectStage(7);
    EXPECT_EQ(f.waitFor("onboardingError", 2)["message"], "Choisis une étape comprise entre 1 et 6.");
    f.app->validateProjectStage(3);
    EXPECT_EQ(f.waitFor("onboardingState")["validatedStage"], 3);
    f.app->resetOnboarding();
    EXPECT_EQ(f.waitFor("onboardingState", 2)["validatedStage"], nullptr);
}

}  // namespace
}  // namespace vantorel
