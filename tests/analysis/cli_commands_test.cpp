// vantorel-cli measure and key, run as the built program.
#include "analysis/audio_fixture.h"
#include "common/process.h"
#include "support/cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace vantorel {
namespace {

using Json = nlohmann::json;

using testing::runCli;

class AnalysisCommands : public testing::CliTest {};

TEST_F(AnalysisCommands, Measure) {
    const auto path = home.root() / "clip.wav";
    testing::writeAudio(path, {testing::sine(1000, 3.0), testing::sine(1000, 3.0)});

    auto measured = runCli({"measure", path.string(), "--start", "0.5", "--duration", "2"});
    ASSERT_EQ(measured.code, 0) << measured.error;
    EXPECT_EQ(measured.output["scope"], "rawClipSourcePreFx");
    EXPECT_DOUBLE_EQ(measured.output["analyzedSeconds"].get<double>(), 2.0);
    EXPECT_DOUBLE_EQ(measured.output["sourceDurationSeconds"].get<double>(), 3.0);
    EXPECT_EQ(measured.output["channelCount"], 2);
    EXPECT_EQ(measured.output["stereoCorrelation"], 1.0);
    EXPECT_GT(measured.output["bandEnergyPercent"]["mid_400_2000"].get<double>(), 99.0);

    auto silent = home.root() / "silence.wav";
    testing::writeAudio(silent, {testing::silence(2.0)});
    auto refused = runCli({"measure", silent.string()});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.output, (Json{{"error",
                                     {{"type", "AudioMeasurementError"},
                                      {"case", "insufficientSignal"},
                                      {"message", "Le clip ne contient pas assez de signal pour une analyse audio fiable."}}}}));

    auto missing = runCli({"measure", (home.root() / "absent.wav").string()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.output["error"]["case"], "unreadableAudio");
    EXPECT_EQ(missing.output["error"]["message"], "Le fichier audio du clip est illisible.");

    EXPECT_EQ(runCli({"measure"}).code, 2);
    EXPECT_EQ(runCli({"measure", path.string(), "--start", "tôt"}).code, 2);
    EXPECT_EQ(runCli({"measure", path.string(), path.string()}).code, 2);
}

TEST_F(AnalysisCommands, KeyOfAFileOrOfAChroma) {
    const auto path = home.root() / "cadence.wav";
    testing::writeAudio(path, {testing::chordSequence({{53, 65, 68, 72}, {58, 70, 73, 77}, {48, 67, 72, 76}, {53, 65, 68, 72}}, 2.0)});
    auto heard = runCli({"key", path.string(), "--transpose", "-5"});
    ASSERT_EQ(heard.code, 0) << heard.error;
    EXPECT_EQ(heard.output["key"], "C minor");
    EXPECT_DOUBLE_EQ(heard.output["analyzedSeconds"].get<double>(), 8.0);
    EXPECT_EQ(heard.output.size(), 3u);
    EXPECT_DOUBLE_EQ(runCli({"key", path.string(), "--start", "2", "--duration", "4"}).output["analyzedSeconds"].get<double>(),
                     4.0);

    auto midi = runCli({"key", "--chroma", "1,0,0,0,1,0,0,1,0,0,0,0", "--transpose", "2"});
    ASSERT_EQ(midi.code, 0) << midi.error;
    EXPECT_EQ(midi.output["key"], "D major");
    EXPECT_EQ(midi.output["analyzedSeconds"], 0.0);
    EXPECT_NEAR(midi.output["confidence"].get<double>(), 0.764, 0.002);

    auto shortChroma = runCli({"key", "--chroma", "1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0"});
    EXPECT_EQ(shortChroma.code, 1);
    EXPECT_EQ(shortChroma.output, (Json{{"error",
                                         {{"type", "KeyAnalysisError"},
                                          {"case", "insufficientSignal"},
                                          {"message", "Le clip ne contient pas assez de signal tonal pour déterminer une key."}}}}));

    EXPECT_EQ(runCli({"key", "--chroma", "1,0,x,0,1,0,0,1,0,0,0,0"}).code, 2);
    EXPECT_EQ(runCli({"key", "--chroma", "1,0,,0,1,0,0,1,0,0,0,0"}).code, 2);
    EXPECT_EQ(runCli({"key", "--chroma", "1,0,0,0,1,0,0,1,0,0,0,0", path.string()}).code, 2);
    EXPECT_EQ(runCli({"key", "--chroma", "1,0,0,0,1,0,0,1,0,0,0,0", "--start", "1"}).code, 2);
    EXPECT_EQ(runCli({"key"}).code, 2);
}

}  // namespace
}  // namespace vantorel
