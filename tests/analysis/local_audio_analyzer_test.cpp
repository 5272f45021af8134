// Measurements of synthesised files with known answers: level, dynamics,
// spectrum, stereo image, excerpt limits and the errors of bad input.
#include "analysis/audio_cache.h"
#include "analysis/audio_fixture.h"
#include "analysis/local_audio_analyzer.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numeric>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using testing::Signal;
using testing::writeAudio;

class LocalAnalysis : public ::testing::Test {
protected:
    void SetUp() override { analysis::sharedAudioCache().clear(); }
    void TearDown() override { analysis::sharedAudioCache().clear(); }

    fs::path file(const std::string& name) const { return home.root() / "audio" / name; }

    AudioMeasurementErrorCase failure(const fs::path& path, double start = 0,
                                      std::optional<double> duration = std::nullopt) {
        try {
            LocalAudioAnalyzer::analyze(path, 0, start, duration);
        } catch (const AudioMeasurementError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no error for " << path;
        return AudioMeasurementErrorCase::unreadableAudio;
    }

    testing::TempHome home;
};

TEST_F(LocalAnalysis, SineOf1kHzSitsInTheMidBand) {
    const auto path = file("sine.wav");
    writeAudio(path, {testing::sine(1000, 3.0, 44100, 0.5)});
    AudioMeasurement m = LocalAudioAnalyzer::analyze(path);

    EXPECT_DOUBLE_EQ(m.sampleRate, 44100);
    EXPECT_EQ(m.channelCount, 1);
    EXPECT_NEAR(m.analyzedSeconds, 3.0, 1e-9);
    EXPECT_NEAR(m.sourceDurationSeconds, 3.0, 1e-9);
    EXPECT_NEAR(m.samplePeakDbFS, 20 * std::log10(0.5), 0.01);
    EXPECT_NEAR(m.rmsDbFS, 20 * std::log10(0.5 / std::sqrt(2.0)), 0.01);
    EXPECT_NEAR(m.crestFactorDb, 3.01, 0.02);
    EXPECT_NEAR(m.dcOffset, 0, 1e-4);
    EXPECT_EQ(m.clippedSamplePercent, 0);
    EXPECT_NEAR(m.dynamicRangeDb, 0, 0.01) << "a steady tone has no dynamics";

    ASSERT_EQ(m.bandEnergyPercent.size(), 6u);
    EXPECT_GT(m.bandEnergyPercent.at("mid_400_2000"), 99.0);
    double total = 0;
    for (const auto& [name, share] : m.bandEnergyPercent) total += share;
    EXPECT_NEAR(total, 100.0, 1e-9);
    EXPECT_NEAR(m.spectralCentroidHz, 1000, 50);

    ASSERT_EQ(m.waveform.size(), 120u);
    for (double peak : m.waveform) EXPECT_NEAR(peak, 0.5, 0.001);
    ASSERT_FALSE(m.spectrogram.empty());
    for (const auto& row : m.spectrogram) {
        ASSERT_EQ(row.size(), 48u);
        for (double cell : row) {
            EXPECT_GE(cell, 0.0);
            EXPECT_LE(cell, 1.0);
        }
    }
    EXPECT_FALSE(m.stereoCorrelation);
    EXPECT_FALSE(m.stereoWidthPercent);
}

TEST_F(LocalAnalysis, StereoImageOfIdenticalAndOpposedChannels) {
    Signal tone = testing::sine(220, 2.0);
    writeAudio(file("same.wav"), {tone, tone});
    writeAudio(file("opposed.wav"), {tone, testing::negated(tone)});

    AudioMeasurement same = LocalAudioAnalyzer::analyze(file("same.wav"));
    ASSERT_TRUE(same.stereoCorrelation && same.stereoWidthPercent);
    EXPECT_NEAR(*same.stereoCorrelation, 1.0, 1e-9);
    EXPECT_NEAR(*same.stereoWidthPercent, 0.0, 1e-9);
    EXPECT_EQ(same.channelCount, 2);

    AudioMeasurement opposed = LocalAudioAnalyzer::analyze(file("opposed.wav"));
    ASSERT_TRUE(opposed.stereoCorrelation && opposed.stereoWidthPercent);
    EXPECT_NEAR(*opposed.stereoCorrelation, -1.0, 1e-9);
    EXPECT_EQ(*opposed.stereoWidthPercent, 0.0) << "no mid energy at all";
}

TEST_F(LocalAnalysis, FullScaleSquareIsAllClippedWithNoCrest) {
    writeAudio(file("square.wav"), {testing::square(100, 1.0)});
    AudioMeasurement m = LocalAudioAnalyzer::analyze(file("square.wav"));
    EXPECT_DOUBLE_EQ(m.clippedSamplePercent, 100.0);
    EXPECT_DOUBLE_EQ(m.crestFactorDb, 0.0);
    EXPECT_NEAR(m.samplePeakDbFS, 0.0, 1e-9);
}

TEST_F(LocalAnalysis, ShortestExcerpts) {
    writeAudio(file("2047.wav"), {testing::sine(440, 2047.0 / 44100)});
    EXPECT_EQ(failure(file("2047.wav")), AudioMeasurementErrorCase::insufficientSignal);

    // 2048…4095 frames: levels, but no spectral figures.
    for (std::size_t frames : {2048u, 4095u}) {
        SCOPED_TRACE(frames);
        const auto path = file(std::to_string(frames) + ".wav");
        Signal tone = testing::sine(440, 1.0);
        tone.resize(frames);
        writeAudio(path, {tone, tone});
        AudioMeasurement m = LocalAudioAnalyzer::analyze(path);
        EXPECT_NEAR(m.analyzedSeconds, frames / 44100.0, 1e-12);
        EXPECT_TRUE(m.bandEnergyPercent.empty());
        EXPECT_TRUE(m.spectrogram.empty());
        EXPECT_EQ(m.spectralCentroidHz, 0);
        EXPECT_EQ(m.waveform.size(), 120u);
        EXPECT_FALSE(m.key) << "too short for a key";
        EXPECT_NEAR(m.samplePeakDbFS, 20 * std::log10(0.5), 0.01);
    }
}

TEST_F(LocalAnalysis, SilenceAndEmptyExcerptsHaveTooLittleSignal) {
    writeAudio(file("silence.wav"), {testing::silence(4.0), testing::silence(4.0)});
    EXPECT_EQ(failure(file("silence.wav")), AudioMeasurementErrorCase::insufficientSignal);

    writeAudio(file("tone.wav"), {testing::sine(440, 4.0)});
    EXPECT_EQ(failure(file("tone.wav"), 60.0), AudioMeasurementErrorCase::insufficientSignal)
        << "a start beyond the end reads from the last frame";
    EXPECT_EQ(failure(file("tone.wav"), 0, -1.0), AudioMeasurementErrorCase::insufficientSignal);
    EXPECT_EQ(failure(file("tone.wav"), 0, 0.0), AudioMeasurementErrorCase::insufficientSignal);

    try {
        LocalAudioAnalyzer::analyze(file("silence.wav"));
        FAIL();
    } catch (const AudioMeasurementError& error) {
        EXPECT_EQ(error.type(), "AudioMeasurementError");
        EXPECT_EQ(static_cast<const Error&>(error).caseName(), "insufficientSignal");
        EXPECT_EQ(error.description(), "Le clip ne contient pas assez de signal pour une analyse audio fiable.");
    }
}

}  // namespace
}  // namespace vantorel
