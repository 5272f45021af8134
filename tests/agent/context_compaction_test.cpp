#include "agent/context_compaction.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;
using EmbeddedAgentClient::compactedContext;
using EmbeddedAgentClient::targetedTrackIndex;

// Built by appending: GCC 12 warns (-Wrestrict) on "literal" + string in
// release builds.
std::string numbered(const char* prefix, int number) {
    std::string name = prefix;
    name += std::to_string(number);
    return name;
}

json clips(int count) {
    json list = json::array();
    for (int i = 0; i < count; ++i) {
        list.push_back({{"name", numbered("Clip ", i)},
                        {"startTimeBeats", i * 4},
                        {"endTimeBeats", i * 4 + 4},
                        {"color", 12},
                        {"notes", json::array({60, 62})}});
    }
    return list;
}

std::vector<std::string> clipNames(const json& track) {
    std::vector<std::string> names;
    for (const auto& clip : track["clipDetails"]) names.push_back(clip["name"]);
    return names;
}

json parameters(int count) {
    json list = json::array();
    for (int i = 0; i < count; ++i) list.push_back({{"name", numbered("P", i)}, {"value", i}, {"min", 0}});
    return list;
}

json contextWithTracks(json tracks) {
    return {{"session", {{"tempo", 124}}}, {"projectAnalysis", {{"tracks", std::move(tracks)}}}, {"lifecycle", {{"x", 1}}}};
}

TEST(TargetedTrackIndex, CountsFromOneAndNeedsOneToThreeDigits) {
    struct Case {
        const char* question;
        std::optional<std::int64_t> index;
    } cases[] = {
        {"peux-tu écouter la piste 3 ?", 2},
        {"Track 12 sounds thin", 11},
        {"PISTE15", 14},
        {"piste 999", 998},
        {"Track 0", std::nullopt},
        {"piste 1234", std::nullopt},
        {"la piste trois", std::nullopt},
        {"soundtrack 4", std::nullopt},
        {"piste ٣", 2},  // Arabic-Indic digit: ICU's \d reads it as 3
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.question);
        EXPECT_EQ(targetedTrackIndex(c.question), c.index);
    }
}

TEST(CompactedContext, WithoutProjectAnalysisIsUnchanged) {
    json context = {{"session", {{"tempo", 120}}}, {"projectAnalysis", "not an object"}};
    EXPECT_EQ(compactedContext(context, "piste 1"), context);
    EXPECT_EQ(compactedContext(json::object(), std::nullopt), json::object());
}

TEST(CompactedContext, MeasurementKeepsItsFiguresButNotTheLoudnessCurve) {
    const json measurement = {{"scope", "renderedMasterResampling"}, {"integratedLufs", -9.4},
                              {"loudnessRangeLu", 5.2}, {"truePeakDbTP", -0.3},
                              {"loudnessCurve", {-10.0, -9.1, -8.7}}};
    json expected = measurement;
    expected.erase("loudnessCurve");
    for (json context : {json{{"audioMeasurement", measurement}},
                         json{{"audioMeasurement", measurement}, {"projectAnalysis", {{"tracks", json::array()}}}}}) {
        SCOPED_TRACE(context.dump());
        EXPECT_EQ(compactedContext(context, std::nullopt)["audioMeasurement"], expected);
    }
}

TEST(CompactedContext, DetailsTheRequestedAndTheSelectedTrack) {
    json tracks = json::array();
    for (int i = 0; i < 4; ++i) {
        tracks.push_back({{"index", i == 2 ? json(2.0) : json(i)},
                          {"name", numbered("T", i)},
                          {"selected", i == 0},
                          {"clipDetails", clips(10)},
                          {"frozen", false}});
    }
    json compacted = compactedContext(contextWithTracks(tracks), "peux-tu écouter la piste 3 ?");
    const json& out = compacted["projectAnalysis"]["tracks"];
    ASSERT_EQ(out.size(), 4u);
    // Detailed tracks keep all 10 clips (limit 18) and their routing keys.
    for (int detailed : {0, 2}) {
        SCOPED_TRACE(detailed);
        EXPECT_EQ(out[detailed]["clipDetails"].size(), 10u);
        EXPECT_FALSE(out[detailed].contains("clipDetailsOmitted"));
        EXPECT_TRUE(out[detailed].contains("frozen"));
    }
    for (int background : {1, 3}) {
        SCOPED_TRACE(background);
        EXPECT_EQ(out[background]["clipDetails"].size(), 6u);
        EXPECT_FALSE(out[background].contains("frozen"));
    }
    // Kept clips carry only the clip keys.
    EXPECT_EQ(out[0]["clipDetails"][0],
              (json{{"name", "Clip 0"}, {"startTimeBeats", 0}, {"endTimeBeats", 4}}));
    // Other keys pass through, and the note says what the limits were.
    EXPECT_EQ(compacted["lifecycle"], (json{{"x", 1}}));
    EXPECT_EQ(compacted["projectAnalysis"]["contextCompaction"],
              (json{{"scope", "all-track overview plus detailed selected or explicitly requested track"},
                    {"backgroundClipSamples", 6},
                    {"detailedClipSamples", 18},
                    {"backgroundDeviceParameters", 0},
                    {"detailedParameterLimitPerDevice", 16}}));
}

TEST(CompactedContext, BackgroundClipsAreAnEvenSpreadAfterTheActiveOnes) {
    json spread = compactedContext(contextWithTracks({{{"index", 0}, {"clipDetails", clips(10)}}}), std::nullopt);
    const json& track = spread["projectAnalysis"]["tracks"][0];
    EXPECT_EQ(clipNames(track),
              (std::vector<std::string>{"Clip 0", "Clip 2", "Clip 4", "Clip 5", "Clip 7", "Clip 9"}));
    EXPECT_EQ(track["clipDetailsOmitted"], 4);

    json active = clips(10);
    active[0]["playing"] = true;
    active[9]["playing"] = true;
    active[6]["recording"] = true;
    json first = compactedContext(contextWithTracks({{{"index", 0}, {"clipDetails", active}}}), std::nullopt);
    EXPECT_EQ(clipNames(first["projectAnalysis"]["tracks"][0]),
              (std::vector<std::string>{"Clip 0", "Clip 6", "Clip 9", "Clip 2", "Clip 4", "Clip 5"}));

    // Clips with the same name and position count once.
    json repeated = json::array();
    for (int i = 0; i < 8; ++i) repeated.push_back({{"name", "Loop"}, {"startTimeBeats", i < 7 ? 0 : 8}});
    json deduplicated = compactedContext(contextWithTracks({{{"index", 0}, {"clipDetails", repeated}}}), std::nullopt);
    const json& few = deduplicated["projectAnalysis"]["tracks"][0];
    EXPECT_EQ(few["clipDetails"].size(), 2u);
    EXPECT_EQ(few["clipDetailsOmitted"], 6);
}

TEST(CompactedContext, DevicesAndParameters) {
    json devices = json::array();
    for (int i = 0; i < 14; ++i) devices.push_back({{"name", numbered("D", i)}, {"parameters", parameters(40)}});
    json tracks = {{{"index", 0}, {"selected", true}, {"devices", devices}},
                   {{"index", 1}, {"devices", devices}}};
    json compacted = compactedContext(contextWithTracks(tracks), std::nullopt);
    const json& detailed = compacted["projectAnalysis"]["tracks"][0];
    ASSERT_EQ(detailed["devices"].size(), 12u);
    EXPECT_EQ(detailed["devicesOmitted"], 2);
    EXPECT_EQ(detailed["devices"][0]["parameters"].size(), 16u);
    EXPECT_EQ(detailed["devices"][0]["parameters"][15], parameters(40)[15]);
    EXPECT_EQ(detailed["devices"][0]["parametersOmitted"], 24);

    const json& background = compacted["projectAnalysis"]["tracks"][1];
    ASSERT_EQ(background["devices"].size(), 8u);
    EXPECT_EQ(background["devicesOmitted"], 6);
    EXPECT_FALSE(background["devices"][0].contains("parameters"));
    EXPECT_EQ(background["devices"][0]["parameterCount"], 40);
}

TEST(CompactedContext, BackgroundMixerMeterAndRouting) {
    json full = {{"index", 0},
                 {"mixer", {{"volume", {{"value", 0.85}, {"displayValue", "0.0 dB"}, {"automated", false}, {"min", 0}}},
                            {"panning", "centre"}}},
                 {"meterWindow", {{"current", 0.4}, {"maximum", 0.9}, {"average", 0.5}, {"observedSeconds", 6},
                                  {"samples", json::array({0.1, 0.2})}}},
                 {"inputRouting", "Ext. In"},
                 {"outputRouting", "Master"},
                 {"canBeArmed", true},
                 {"deviceLimitApplied", false},
                 {"name", "Pad"}};
    json bare = {{"index", 1}, {"name", "Kick"}};
    json sends = {{"index", 2}, {"mixer", {{"sends", json::array({{{"value", 0.2}}})}}}};
    json compacted = compactedContext(contextWithTracks({full, bare, sends}), std::nullopt);
    const json& tracks = compacted["projectAnalysis"]["tracks"];
    EXPECT_EQ(tracks[0], (json{{"index", 0},
                               {"name", "Pad"},
                               {"mixer", {{"volume", {{"value", 0.85}, {"displayValue", "0.0 dB"}, {"automated", false}}},
                                          {"sends", json::array()}}},
                               {"meterWindow", {{"current", 0.4}, {"maximum", 0.9}, {"average", 0.5},
                                                {"observedSeconds", 6}}}}));
    EXPECT_EQ(tracks[1], bare);
    EXPECT_EQ(tracks[2]["mixer"], (json{{"sends", json::array({{{"value", 0.2}}})}}));
}

TEST(CompactedContext, ReturnsAreBackgroundAndTheMasterIsDetailed) {
    json devices = json::array({{{"name", "Limiter"}, {"parameters", parameters(20)}}});
    json context = {{"projectAnalysis",
                     {{"returnTracks", json::array({{{"name", "A-Reverb"}, {"devices", devices}, {"frozen", false}}})},
                      {"masterTrack", {{"devices", devices}, {"clipDetails", clips(20)}, {"outputRouting", "1/2"}}}}}};
    json compacted = compactedContext(context, std::nullopt);
    const json& analysis = compacted["projectAnalysis"];
    EXPECT_EQ(analysis["returnTracks"][0]["devices"][0]["parameterCount"], 20);
    EXPECT_FALSE(analysis["returnTracks"][0].contains("frozen"));
    EXPECT_EQ(analysis["masterTrack"]["devices"][0]["parameters"].size(), 16u);
    EXPECT_EQ(analysis["masterTrack"]["clipDetails"].size(), 18u);
    EXPECT_EQ(analysis["masterTrack"]["clipDetailsOmitted"], 2);
    EXPECT_EQ(analysis["masterTrack"]["outputRouting"], "1/2");
}

}  // namespace
}  // namespace vantorel
