#include "project/milestone_engine.h"

#include "common/iso8601.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;
using State = VantorelMilestoneState;

json meter(int samples = 40, double seconds = 2.0, double maximum = 0.4) {
    return {{"samples", samples}, {"observedSeconds", seconds}, {"maximum", maximum}};
}

json track(const std::string& name, json extra = json::object()) {
    json t = {{"name", name},        {"active", true},       {"hasContent", true}, {"clips", 2},
              {"clipDetails", json::array({{{"lengthBeats", 32}}})},
              {"devices", json::array({json::object()})}, {"meterWindow", meter()}};
    for (auto& [key, value] : extra.items()) t[key] = value;
    return t;
}

// Every stage's criteria met.
json finishedAnalysis() {
    return {{"beatsPerBar", 4},
            {"arrangementLengthBars", 96},
            {"sectionCountFromLocators", 5},
            {"tracks", json::array({track("Kick"), track("Sub Bass"), track("Hats"), track("Riser FX")})},
            {"masterTrack", {{"meterWindow", meter(80, 4.0, 0.4)}}}};
}

json renderedMeasurement(double truePeak = -1.5) {
    return {{"scope", "renderedMasterResampling"}, {"truePeakDbTP", truePeak}};
}

std::vector<State> states(const VantorelLifecycleSnapshot& s) {
    std::vector<State> out;
    for (const auto& m : s.milestones) out.push_back(m.state);
    return out;
}

const VantorelMilestoneAssessment& stage(const VantorelLifecycleSnapshot& s, int id) {
    return s.milestones.at(static_cast<std::size_t>(id - 1));
}

TEST(VantorelMilestoneEngine, EmptyAnalysisIsAnIdeaInProgress) {
    auto s = VantorelMilestoneEngine::evaluate("Demo", json::object());
    EXPECT_EQ(s.criteriaVersion, "2026.08.25-v1");
    EXPECT_EQ(s.currentMilestone, 1);
    EXPECT_EQ(states(s), (std::vector<State>{State::inProgress, State::notStarted, State::notStarted,
                                             State::notStarted, State::notStarted, State::notStarted}));
    EXPECT_EQ(stage(s, 1).missing, (std::vector<std::string>{"Ajouter au moins un clip avec du contenu réel"}));
    EXPECT_TRUE(stage(s, 1).evidence.empty());
    EXPECT_EQ(stage(s, 2).missing.front(), "4 piste(s) active(s) supplémentaire(s)");
    EXPECT_EQ(stage(s, 2).evidence,
              (std::vector<std::string>{"0 piste(s) active(s)", "Boucle la plus longue : 0.0 mesures",
                                        "Kick non détecté · basse non détectée · percussion non détectée"}));
    std::vector<std::string> titles;
    for (const auto& m : s.milestones) titles.push_back(m.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"Idée", "Groove", "Arrangement", "Transitions", "Mix", "Pre-master"}));
}

TEST(VantorelMilestoneEngine, AllStagesMetAreAllReached) {
    auto s = VantorelMilestoneEngine::evaluate("Demo", finishedAnalysis(), renderedMeasurement());
    EXPECT_EQ(states(s), std::vector<State>(6, State::reached));
    EXPECT_EQ(s.currentMilestone, 6);
    for (const auto& m : s.milestones) EXPECT_TRUE(m.missing.empty()) << m.title;
    EXPECT_EQ(stage(s, 1).evidence, (std::vector<std::string>{"4 clip(s) avec du contenu détecté(s)"}));
    EXPECT_EQ(stage(s, 5).evidence,
              (std::vector<std::string>{"4/4 piste(s) active(s) traitée(s)", "4/4 piste(s) mesurée(s)"}));
    EXPECT_EQ(stage(s, 6).evidence, (std::vector<std::string>{"Headroom mesuré : 8.0 dB", "Crête vraie : -1.5 dBTP",
                                                              "0 nom(s) générique(s) · 0 piste(s) à vérifier"}));
}

TEST(VantorelMilestoneEngine, StagesAreSequential) {
    json analysis = finishedAnalysis();
    analysis["arrangementLengthBars"] = 40;
    auto s = VantorelMilestoneEngine::evaluate("Demo", analysis, renderedMeasurement());
    EXPECT_EQ(states(s), (std::vector<State>{State::reached, State::reached, State::inProgress, State::notStarted,
                                             State::notStarted, State::notStarted}));
    EXPECT_EQ(s.currentMilestone, 3);
    EXPECT_TRUE(stage(s, 4).missing.empty()) << "criteria of later stages are still reported";
    EXPECT_EQ(stage(s, 3).missing,
              (std::vector<std::string>{"Atteindre 64 mesures d’arrangement — 40.0 détectées"}));
}

TEST(VantorelMilestoneEngine, GrooveReadsActiveNamesAndRoles) {
    struct Case {
        const char* label;
        json tracks;
        double beatsPerBar;
        std::string evidence;
        std::vector<std::string> missing;
    };
    const Case cases[] = {
        {"bass in a name, roles for the rest",
         json::array({track("Bass Sub"), track("a", {{"inferredRole", "kick"}}),
                      track("b", {{"inferredRole", "drums"}}), track("c")}),
         4, "Kick détecté · basse détectée · percussion détectée", {}},
        {"an inactive kick counts for nothing",
         json::array({track("Kick", {{"active", false}}), track("Bass"), track("Rim"), track("Pad")}), 4,
         "Kick non détecté · basse détectée · percussion détectée",
         {"1 piste(s) active(s) supplémentaire(s)", "Un élément rythmique grave identifiable"}},
        {"grosse caisse, tom; beatsPerBar 0 reads as 0.25",
         json::array({track("Grosse caisse"), track("Basse"), track("Tom"), track("Pad", {{"clipDetails",
                      json::array({{{"lengthBeats", 1}}})}})}),
         0, "Kick détecté · basse détectée · percussion détectée", {}},
        {"short loops",
         json::array({track("BD", {{"clipDetails", json::array({{{"lengthBeats", 31}}})}}),
                      track("sub", {{"clipDetails", json::array()}}), track("clap", {{"clipDetails", "x"}}),
                      track("keys", {{"clipDetails", json::array({1, {{"lengthBeats", "9"}}})}})}),
         4, "Kick détecté · basse détectée · percussion détectée", {"Une boucle cohérente d’au moins 8 mesures"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        json analysis = {{"tracks", c.tracks}, {"beatsPerBar", c.beatsPerBar}};
        auto s = VantorelMilestoneEngine::evaluate("Demo", analysis);
        EXPECT_EQ(stage(s, 2).evidence.at(2), c.evidence);
        EXPECT_EQ(stage(s, 2).missing, c.missing);
    }
    json shortLoops = {{"tracks", cases[3].tracks}};
    EXPECT_EQ(stage(VantorelMilestoneEngine::evaluate("Demo", shortLoops), 2).evidence.at(1),
              "Boucle la plus longue : 7.8 mesures");
    json quarter = {{"tracks", json::array({track("x", {{"clipDetails", json::array({{{"lengthBeats", 1}}})}})})},
                    {"beatsPerBar", -3}};
    EXPECT_EQ(stage(VantorelMilestoneEngine::evaluate("Demo", quarter), 2).evidence.at(1),
              "Boucle la plus longue : 4.0 mesures");
}

TEST(VantorelMilestoneEngine, TransitionsNeedSectionsAndAnFxOrAutomation) {
    json analysis = finishedAnalysis();
    analysis["tracks"][3]["name"] = "Pad";
    auto none = VantorelMilestoneEngine::evaluate("Demo", analysis);
    EXPECT_EQ(stage(none, 4).missing,
              (std::vector<std::string>{"Ajouter un FX, riser ou une automation détectable aux frontières"}));
    EXPECT_EQ(stage(none, 4).evidence, (std::vector<std::string>{"0 piste(s) de transition nommée(s)",
                                                                 "Automation observée sur 0 piste(s)"}));
    analysis["tracks"][2]["automationObserved"] = true;
    EXPECT_TRUE(stage(VantorelMilestoneEngine::evaluate("Demo", analysis), 4).missing.empty());
    analysis["sectionCountFromLocators"] = 1;
    EXPECT_EQ(stage(VantorelMilestoneEngine::evaluate("Demo", analysis), 4).missing,
              (std::vector<std::string>{"Créer des frontières de sections vérifiables avec des locators",
                                        "Ajouter un FX, riser ou une automation à une frontière"}));
}

TEST(VantorelMilestoneEngine, MixAndMasterLevels) {
    struct Case {
        const char* label;
        json master;
        std::vector<std::string> mixMissing;
        std::string headroomEvidence;
        std::optional<std::string> headroomMissing;
    };
    const Case cases[] = {
        {"0.5 gives 6.02 dB, no headroom line", meter(10, 1, 0.5), {}, "Headroom mesuré : 6.0 dB", std::nullopt},
        {"0.6 gives 4.4 dB", meter(10, 1, 0.6), {}, "Headroom mesuré : 4.4 dB",
         "Atteindre 6 dB de headroom — 4.4 dB mesuré(s)"},
        {"full scale", meter(10, 1, 1.0), {"Réduire le niveau : le master a atteint le maximum mesurable"},
         "Headroom mesuré : 0.0 dB", "Atteindre 6 dB de headroom — 0.0 dB mesuré(s)"},
        {"one sample is no measurement", meter(1, 1, 0.5), {"Lire le morceau pour mesurer le master"},
         "Headroom non mesuré", "Mesurer le master pendant la lecture"},
        {"two samples over half a second", meter(2, 0.5, 0.25), {}, "Headroom mesuré : 12.0 dB", std::nullopt},
        {"silent master", meter(10, 1, 0), {}, "Headroom non mesuré", "Mesurer le master pendant la lecture"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        json analysis = finishedAnalysis();
        analysis["masterTrack"] = {{"meterWindow", c.master}};
        auto s = VantorelMilestoneEngine::evaluate("Demo", analysis, renderedMeasurement());
        EXPECT_EQ(stage(s, 5).missing, c.mixMissing);
        EXPECT_EQ(stage(s, 6).evidence.at(0), c.headroomEvidence);
        auto& missing = stage(s, 6).missing;
        EXPECT_EQ(missing.empty() ? std::nullopt : std::optional<std::string>(missing.front()), c.headroomMissing);
    }

    json analysis = finishedAnalysis();
    analysis["tracks"][0].erase("devices");
    analysis["tracks"][1]["devices"] = json::array();
    analysis["tracks"][2]["meterWindow"] = meter(1);
    auto s = VantorelMilestoneEngine::evaluate("Demo", analysis);
    EXPECT_EQ(stage(s, 5).missing, (std::vector<std::string>{"Ajouter un traitement sur 2 piste(s) active(s)",
                                                             "Lire le morceau pour mesurer 1 piste(s)"}));
    EXPECT_EQ(stage(s, 5).evidence,
              (std::vector<std::string>{"2/4 piste(s) active(s) traitée(s)", "3/4 piste(s) mesurée(s)"}));
}

TEST(VantorelMilestoneEngine, PremasterTruePeakAndNames) {
    auto premaster = [](const json& analysis, const std::optional<json>& measurement) {
        return stage(VantorelMilestoneEngine::evaluate("Demo", analysis, measurement), 6);
    };
    EXPECT_TRUE(premaster(finishedAnalysis(), renderedMeasurement(-1.0)).missing.empty()) << "-1.0 dBTP passes";
    EXPECT_EQ(premaster(finishedAnalysis(), renderedMeasurement(-0.9)).missing,
              (std::vector<std::string>{"Ramener la crête vraie sous -1 dBTP — -0.9 dBTP"}));
    EXPECT_EQ(premaster(finishedAnalysis(), json{{"scope", "clip"}}).missing,
              (std::vector<std::string>{"Écouter le master rendu pour valider le signal final",
                                        "Mesurer la crête vraie en dBTP — demander « écoute le master »"}));
    EXPECT_EQ(premaster(finishedAnalysis(), std::nullopt).evidence.at(1), "Crête vraie non mesurée");

    json analysis = finishedAnalysis();
    json tracks = json::array();
    for (const char* name : {"Audio 3", "MIDI", " piste_12 ", "Group-2", "return", "Audio Bass", "Track 1 copy"}) {
        tracks.push_back(track(name, {{"active", false}}));
    }
    tracks.push_back(track("Muted", {{"muted", true}}));
    json withoutContentKey = track("No key");
    withoutContentKey.erase("hasContent");
    tracks.push_back(withoutContentKey);
    tracks.push_back(track("Empty", {{"hasContent", false}}));
    analysis["tracks"] = tracks;
    auto result = premaster(analysis, renderedMeasurement());
    EXPECT_EQ(result.missing, (std::vector<std::string>{"Renommer 5 piste(s) au nom générique",
                                                        "Vérifier ou retirer 3 piste(s) vide(s) ou muette(s)"}));
    EXPECT_EQ(result.evidence.at(2), "5 nom(s) générique(s) · 3 piste(s) à vérifier");
}

TEST(VantorelMilestoneEngine, DictionaryCarriesDatesAndTimeline) {
    const auto reached = *iso8601::parse("2026-10-01T08:00:00Z");
    const auto now = *iso8601::parse("2026-10-02T09:30:00Z");
    std::vector<VantorelMilestoneEvent> timeline = {{1, "reached", reached, "2026.08.25-v1"}};
    auto s = VantorelMilestoneEngine::evaluate("Ma Track", finishedAnalysis(), std::nullopt, {{1, reached}}, timeline,
                                               now);
    json d = s.dictionary();
    EXPECT_EQ(d["project"], "Ma Track");
    EXPECT_EQ(d["updatedAt"], "2026-10-02T09:30:00Z");
    EXPECT_EQ(d["milestones"][0]["achievedAt"], "2026-10-01T08:00:00Z");
    EXPECT_EQ(d["milestones"][0]["state"], "reached");
    EXPECT_EQ(d["milestones"][5]["state"], "inProgress");
    EXPECT_FALSE(d["milestones"][1].contains("achievedAt"));
    EXPECT_EQ(d["timeline"], json::array({{{"milestoneID", 1},
                                           {"kind", "reached"},
                                           {"timestamp", "2026-10-01T08:00:00Z"},
                                           {"criteriaVersion", "2026.08.25-v1"}}}));
    auto decoded = VantorelLifecycleSnapshot::fromJson(d);
    EXPECT_EQ(decoded.milestones, s.milestones);
    EXPECT_EQ(decoded.timeline, s.timeline);
}

}  // namespace
}  // namespace vantorel
