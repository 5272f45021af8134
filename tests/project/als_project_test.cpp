#include "project/als_project.h"

#include "common/iso8601.h"
#include "support/expect_error.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using Clock = std::chrono::system_clock;
using std::chrono::hours;

ALSIndexedTrack active(std::string name, int devices = 1, bool automated = false) {
    return {std::move(name), 2, devices, automated};
}

// Four active tracks, a 32-beat loop, 300 beats of arrangement, 4 locators.
ALSDocumentFacts stageFourSet() {
    ALSDocumentFacts facts;
    facts.creator = "Ableton Live 12.1";
    facts.tracks = {active("Kick"), active("Sub Bass"), active("Hats"), active("Chords")};
    facts.clipCount = 8;
    facts.longestClipBeats = 32;
    facts.arrangementLengthBeats = 300;
    facts.locatorCount = 4;
    return facts;
}

TEST(GradeProject, FirstUnmetRuleGivesTheStage) {
    struct Case {
        const char* label;
        void (*change)(ALSDocumentFacts&);
        int stage;
        const char* name;
        const char* missing;
        const char* time;
    };
    const Case cases[] = {
        {"no clip", [](ALSDocumentFacts& f) { f.clipCount = 0; }, 1, "Idée",
         "Ajouter un premier clip avec du contenu", "Plusieurs sessions"},
        {"loop of 31 beats", [](ALSDocumentFacts& f) { f.longestClipBeats = 31.9; }, 2, "Groove",
         "Compléter la boucle de 8 mesures, le kick, la basse et les percussions", "Quelques sessions"},
        {"three active tracks", [](ALSDocumentFacts& f) { f.tracks[3].clipCount = 0; }, 2, "Groove", nullptr, nullptr},
        {"no kick (\"bd\" only as a whole name)", [](ALSDocumentFacts& f) { f.tracks[0].name = "Bdrum Perc"; }, 2,
         "Groove", nullptr, nullptr},
        {"kick named BD", [](ALSDocumentFacts& f) { f.tracks[0].name = "BD"; }, 4, "Transitions", nullptr, nullptr},
        {"bass only on an inactive track",
         [](ALSDocumentFacts& f) {
             f.tracks[1].name = "Pad";
             f.tracks.push_back({"Bass", 0, 1, false});
         },
         2, "Groove", nullptr, nullptr},
        {"255 beats", [](ALSDocumentFacts& f) { f.arrangementLengthBeats = 255; }, 3, "Arrangement",
         "Atteindre 64 mesures et identifier au moins 4 sections", "Environ 4 h"},
        {"three locators", [](ALSDocumentFacts& f) { f.locatorCount = 3; }, 3, "Arrangement", nullptr, nullptr},
        {"stage 4 example", [](ALSDocumentFacts&) {}, 4, "Transitions",
         "Ajouter des transitions ou automations aux frontières", "Environ 2 h"},
        {"automated track, one without devices",
         [](ALSDocumentFacts& f) {
             f.tracks[3].automated = true;
             f.tracks[2].deviceCount = 0;
         },
         5, "Mix", "Traiter chaque piste active et mesurer les niveaux dans Live", "Environ 1–2 h"},
        {"riser name, all processed", [](ALSDocumentFacts& f) { f.tracks.push_back(active("Riser Up")); }, 6,
         "Pre-master", "Ouvrir dans Live pour mesurer headroom et crête vraie", "Moins de 2 h"},
        {"inactive tracks need no devices",
         [](ALSDocumentFacts& f) {
             f.tracks[0].automated = true;
             f.tracks.push_back({"Empty", 0, 0, false});
         },
         6, "Pre-master", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ALSDocumentFacts facts = stageFourSet();
        c.change(facts);
        ALSProjectGrade grade = gradeProject(facts);
        EXPECT_EQ(grade.stage, c.stage);
        EXPECT_EQ(grade.stageName, c.name);
        if (c.missing) {
            EXPECT_EQ(grade.missing, c.missing);
        }
        if (c.time) {
            EXPECT_EQ(grade.timeRemaining, c.time);
        }
    }
}

TEST(ProjectScore, RecencyStagePenalty) {
    const Clock::time_point now = Clock::now();
    EXPECT_DOUBLE_EQ(projectScore(3, now - hours(24 * 10), 20, now), 308);
    EXPECT_DOUBLE_EQ(projectScore(1, now + hours(5), 12, now), 130) << "a date in the future counts as new";
    EXPECT_DOUBLE_EQ(projectScore(2, now - hours(24 * 30), 3, now), 200) << "nothing from 30 days on";
    EXPECT_DOUBLE_EQ(projectScore(6, now - hours(12), 11, now), 629.5);
}

TEST(Summarize, CreatorAndWarnings) {
    const Clock::time_point now = Clock::now();
    ALSDocumentFacts facts = stageFourSet();
    ALSProjectSummary good = summarize("/music/Club Tool v2.als", facts, now, 1234, now);
    EXPECT_EQ(good.name, "Club Tool v2");
    EXPECT_EQ(good.creator, "Ableton Live 12.1");
    EXPECT_TRUE(good.warnings.empty());

    ALSDocumentFacts anonymous;
    ALSProjectSummary bare = summarize("/music/x.als", anonymous, now, 1, now);
    EXPECT_EQ(bare.creator, "Ableton non identifié");
    EXPECT_EQ(bare.warnings, (std::vector<std::string>{"Créateur ou schéma Ableton non reconnu ; extraction partielle",
                                                       "Aucune piste reconnue dans ce schéma"}));
    anonymous.creator = "Bitwig Studio";
    EXPECT_EQ(summarize("/music/x.als", anonymous, now, 1, now).warnings.front(),
              "Créateur ou schéma Ableton non reconnu ; extraction partielle");
    anonymous.creator = "ABLETON LIVE 9.7";
    EXPECT_EQ(summarize("/music/x.als", anonymous, now, 1, now).warnings,
              (std::vector<std::string>{"Aucune piste reconnue dans ce schéma"}));
}

TEST(ALSProjectIndexJson, RoundTripsAndRejectsMissingKeys) {
    const Clock::time_point when = *iso8601::parse("2026-11-02T10:20:30Z");
    ALSProjectIndex index;
    index.folderPath = "/music";
    index.scannedAt = when;
    ALSProjectSummary summary = summarize("/music/a.als", stageFourSet(), when, 99, when);
    summary.tempo = 124.5;
    index.projects.push_back(summary);
    summary.tempo.reset();
    summary.path = "/music/b.als";
    index.projects.push_back(summary);
    index.warnings = {"c.als — Le schéma Ableton n’a pas pu être reconnu."};

    nlohmann::json json = index.dictionary();
    EXPECT_EQ(json["scannedAt"], "2026-11-02T10:20:30Z");
    EXPECT_EQ(json["projects"][0]["tempo"], 124.5);
    EXPECT_FALSE(json["projects"][1].contains("tempo")) << "an absent tempo is left out";
    EXPECT_EQ(json["projects"][0]["tracks"][0],
              (nlohmann::json{{"name", "Kick"}, {"clipCount", 2}, {"deviceCount", 1}, {"automated", false}}));
    EXPECT_EQ(ALSProjectIndex::fromJson(json), index);

    for (const char* key : {"path", "modifiedAt", "score", "warnings", "tracks"}) {
        SCOPED_TRACE(key);
        nlohmann::json broken = json;
        broken["projects"][1].erase(key);
        EXPECT_ERROR((void)ALSProjectIndex::fromJson(broken), ALSProjectScannerError,
                     ALSProjectScannerErrorCase::invalidXML, "Le schéma Ableton n’a pas pu être reconnu.");
    }
    nlohmann::json mistyped = json;
    mistyped["projects"][0]["tracks"][0]["automated"] = "yes";
    EXPECT_THROW(ALSProjectIndex::fromJson(mistyped), ALSProjectScannerError);
}

}  // namespace
}  // namespace vantorel
