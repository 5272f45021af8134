#include "app/key_message.h"
#include "app/master_capture.h"
#include "bridge/failure.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

TEST(KeyMessage, WordsPercentAndBasis) {
    KeyMessageFacts high{"Chop", "Vox", "F♯ minor", 0.755, true, 12.34};
    EXPECT_EQ(keyMessage(high),
              "La tonalité la plus probable de **Chop** sur **Vox** est **F♯ minor** — confiance élevée, **76 %**."
              "\n\nRésultat fondé sur une analyse audio locale de 12.3 s, pas sur la gamme renseignée dans Ableton."
              " Je peux maintenant réutiliser automatiquement cette tonalité pour créer une bassline, des accords ou "
              "une mélodie dans ce projet.");
    KeyMessageFacts low{"Bass", "Sub", "C major", 0.549, false, 0};
    EXPECT_EQ(keyMessage(low),
              "La tonalité la plus probable de **Bass** sur **Sub** est **C major** — confiance faible, **55 %**."
              "\n\nRésultat fondé sur une analyse des notes MIDI, pas sur la gamme renseignée dans Ableton."
              " Pour fiabiliser le résultat, sélectionne plutôt un clip contenant une basse, des accords ou une "
              "mélodie clairement tonale, puis relance la détection.");

    struct Row {
        double confidence;
        std::string_view word;
        long long percent;
    };
    for (Row row : {Row{0.5499, "faible", 55}, Row{0.55, "moyenne", 55}, Row{0.7499, "moyenne", 75},
                    Row{0.75, "élevée", 75}, Row{0.005, "faible", 1}}) {
        SCOPED_TRACE(row.confidence);
        EXPECT_EQ(confidenceWord(row.confidence), row.word);
        EXPECT_EQ(confidencePercent(row.confidence), row.percent);
    }
    // 0.6 is reusable, 0.59 is not: the last sentence tells which.
    EXPECT_NE(keyMessage({"c", "t", "k", 0.6, true, 1}).find("réutiliser"), std::string::npos);
    EXPECT_EQ(keyMessage({"c", "t", "k", 0.59, true, 1}).find("réutiliser"), std::string::npos);
}

TEST(KeySource, ReadsLeniently) {
    KeySource source = readKeySource(json::parse(R"({"kind": "midi", "pitchClasses": [1, 0.5, 2],
        "transposeSemitones": -2, "analysisRange": {"durationSeconds": 8}})"));
    EXPECT_EQ(source.kind, "midi");
    EXPECT_EQ(source.pitchClasses, (std::vector<double>{1, 0.5, 2}));
    EXPECT_EQ(source.transposeSemitones, -2);
    EXPECT_EQ(source.startSeconds, 0);
    EXPECT_EQ(source.durationSeconds, 8);
    EXPECT_EQ(source.track, "Piste sélectionnée");
    EXPECT_EQ(source.clip, "Clip sélectionné");
    EXPECT_FALSE(source.filePath);

    EXPECT_FALSE(readKeySource(json::parse(R"({"kind": "midi", "pitchClasses": [1, "2"]})")).pitchClasses);
}

TEST(MasterCapture, DeadlinesFollowTempoAndMeter) {
    const json at120 = {{"tempo", 120}};
    struct Row {
        const char* label;
        int bars;
        std::optional<json> snapshot;
        std::optional<json> context;
        long long seconds;
    };
    const Row rows[] = {
        {"8 bars at 120", 8, at120, std::nullopt, 36},
        {"32 bars at 30 are not cut to 40 BPM", 32, json{{"tempo", 30}}, std::nullopt, 276},
        {"below Live's lowest tempo counts as 20", 1, json{{"tempo", 5}}, std::nullopt, 32},
        {"1 bar at 200: at least 5 s", 1, json{{"tempo", 200}}, std::nullopt, 25},
        {"no snapshot: 120", 8, std::nullopt, json{{"projectAnalysis", {{"beatsPerBar", 4}}}}, 36},
        {"snapshot without tempo: 120", 8, json{{"project", "x"}}, std::nullopt, 36},
        {"7/4 at 120", 8, at120, json{{"projectAnalysis", {{"beatsPerBar", 7}}}}, 48},
        {"beatsPerBar 0 counts as 4", 8, at120, json{{"projectAnalysis", {{"beatsPerBar", 0}}}}, 36},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const json* snapshot = row.snapshot ? &*row.snapshot : nullptr;
        const json* context = row.context ? &*row.context : nullptr;
        EXPECT_EQ(master_capture::deadline(row.bars, snapshot, context), milliseconds(row.seconds * 1000));
    }
}

TEST(MasterCapture, StepChecksRepliesAndMeasurement) {
    for (std::optional<double> length : {std::optional<double>(), std::optional(0.0), std::optional(33.0),
                                         std::optional(2.5), std::optional(-1.0)}) {
        SafePlanAction action;
        action.length = length;
        action.startTime = 0;
        EXPECT_THROW(master_capture::checkedRequest(action), BridgeFailure);
    }
    SafePlanAction noStart;
    noStart.length = 2;
    EXPECT_THROW(master_capture::checkedRequest(noStart), BridgeFailure);
    SafePlanAction good;
    good.length = 32;
    good.startTime = 16;
    EXPECT_EQ(master_capture::checkedRequest(good).bars, 32);

    // The failure's own message only when the bridge gives one.
    EXPECT_FALSE(master_capture::readStatus(json::parse(R"({"status": "failed", "error": "X"})"))->errorMessage);
    // The measurement is the master's, with the default project name.
    json measured = master_capture::measurement({{"scope", "clip"}, {"rmsDbFS", -12.0}}, nullptr, 2);
    EXPECT_EQ(measured["scope"], "renderedMasterResampling");
    EXPECT_EQ(measured["project"], "Projet Ableton");
    EXPECT_EQ(measured["captureBars"], 2);
}

}  // namespace
}  // namespace vantorel
