// The measurement reads its excerpt block by block; these check that the
// blocks change nothing: every figure equals the whole-signal function's on
// the same samples, whatever the sample rate and however the blocks fall,
// and a file whose data ends early measures as the frames that are there.
#include "analysis/analysis_pipeline.h"
#include "analysis/audio_cache.h"
#include "analysis/audio_decoder.h"
#include "analysis/audio_fixture.h"
#include "analysis/local_audio_analyzer.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <vector>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using testing::Signal;

TEST(FrameStream, FramesDoNotDependOnHowTheBlocksFall) {
    Signal ramp(5000);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i);
    struct Case {
        std::size_t length, hop, limit;
    };
    // Overlapping frames, frames with gaps between them, a limit inside the
    // signal and one past it.
    for (const Case c : {Case{256, 100, 5000}, Case{64, 300, 5000}, Case{512, 512, 3000}, Case{100, 7, 9999}}) {
        std::vector<float> expected;
        for (std::size_t start = 0; start + c.length <= std::min(ramp.size(), c.limit); start += c.hop) {
            expected.push_back(static_cast<float>(start));
        }
        std::mt19937 random(c.length + c.hop);
        for (int split = 0; split < 20; ++split) {
            SCOPED_TRACE(::testing::PrintToString(std::vector<std::size_t>{c.length, c.hop, c.limit}));
            analysis::FrameStream stream(c.length, c.hop, c.limit);
            std::vector<float> starts;
            bool whole = true;
            std::size_t at = 0;
            while (at < ramp.size()) {
                const std::size_t size = std::min<std::size_t>(ramp.size() - at, 1 + random() % 700);
                stream.add(std::span<const float>(ramp).subspan(at, size), [&](const float* frame) {
                    starts.push_back(frame[0]);
                    whole = whole && frame[c.length - 1] == frame[0] + static_cast<float>(c.length - 1);
                });
                at += size;
            }
            EXPECT_EQ(starts, expected);
            EXPECT_TRUE(whole) << "every frame is contiguous";
        }
    }
}

class StreamingMeasurement : public ::testing::Test {
protected:
    void SetUp() override { analysis::sharedAudioCache().clear(); }
    void TearDown() override { analysis::sharedAudioCache().clear(); }

    // Two channels with loud and quiet stretches, a chord and noise, long
    // enough for the loudness range and the key, of a length that is no
    // whole number of blocks.
    static std::vector<Signal> music(int rate, double seconds) {
        std::mt19937 random(7);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        Signal chord = testing::chordSequence({{57, 60, 64}, {53, 57, 60}}, 1.5, rate);
        const auto frames = static_cast<std::size_t>(seconds * rate);
        std::vector<Signal> out(2, Signal(frames));
        for (std::size_t i = 0; i < frames; ++i) {
            const float level = std::fmod(static_cast<double>(i) / rate, 6.0) < 2.0 ? 0.15f : 1.0f;
            const float tone = 2.5f * chord[i % chord.size()];
            out[0][i] = level * (tone + noise(random));
            out[1][i] = level * (0.7f * tone - noise(random));
        }
        return out;
    }

    testing::TempHome home;
};

TEST_F(StreamingMeasurement, EveryFigureIsTheWholeSignalsOne) {
    for (int rate : {44100, 48000, 96000}) {
        SCOPED_TRACE(rate);
        const fs::path path = home.root() / ("music-" + std::to_string(rate) + ".wav");
        testing::writeAudio(path, music(rate, 13.37), rate);
        const AudioMeasurement m = LocalAudioAnalyzer::analyze(path);

        analysis::AudioSource source = analysis::AudioSource::openFile(path);
        analysis::Channels channels = source.read(0, source.frames());
        const std::vector<std::span<const float>> views(channels.begin(), channels.end());
        const LocalAudioAnalyzer::LoudnessSummary loudness = LocalAudioAnalyzer::loudness(views, rate);
        ASSERT_TRUE(loudness.integratedLufs && loudness.loudnessRangeLu);
        EXPECT_EQ(m.integratedLufs, loudness.integratedLufs);
        EXPECT_EQ(m.loudnessRangeLu, loudness.loudnessRangeLu);
        EXPECT_EQ(m.shortTermLufsMax, loudness.shortTermLufsMax);
        EXPECT_EQ(m.momentaryLufsMax, loudness.momentaryLufsMax);
        EXPECT_EQ(m.truePeakDbTP, loudness.truePeakDbTP);
        EXPECT_EQ(m.loudnessCurve, loudness.loudnessCurve);
        // The image's covariance is merged block by block: equal to the
        // last few bits only.
        const LocalAudioAnalyzer::StereoSummary stereo = LocalAudioAnalyzer::stereoSummary(views);
        EXPECT_NEAR(*m.stereoCorrelation, *stereo.correlation, 1e-12);
        EXPECT_EQ(m.stereoWidthPercent, stereo.width);

        const analysis::Samples mono = analysis::mixToMono(std::move(channels));
        const LocalAudioAnalyzer::SpectralSummary spectral = LocalAudioAnalyzer::spectralSummary(mono, rate);
        EXPECT_EQ(m.spectrogram, spectral.spectrogram);
        EXPECT_EQ(m.bandEnergyPercent, spectral.bands);
        EXPECT_EQ(m.spectralCentroidHz, spectral.centroid);
        EXPECT_EQ(m.waveform, LocalAudioAnalyzer::waveform(mono, 120));
        EXPECT_EQ(m.dynamicRangeDb,
                  LocalAudioAnalyzer::percentileDb(LocalAudioAnalyzer::shortTermRMS(mono, rate), 0.95, 0.2));
        const KeyDetection key = MusicalKeyAnalyzer::detect(MusicalKeyAnalyzer::audioChroma(mono, rate), 0,
                                                            static_cast<double>(mono.size()) / rate);
        EXPECT_EQ(m.key, key.key);
        EXPECT_EQ(m.keyConfidence, key.confidence);
    }
}

TEST_F(StreamingMeasurement, DataEndingBeforeItsAnnouncedLengthMeasuresAsWhatIsThere) {
    // A cut Ogg Vorbis file still announces its whole length (WAV and AIFF
    // headers are corrected from the file size). The spectrum's hop and the
    // waveform's buckets must come from the frames read, as for a file of
    // that length: the decoded frames, written losslessly, measure alike.
    const fs::path cut = home.root() / "cut.ogg";
    testing::writeAudio(cut, music(44100, 12.0), 44100, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    fs::resize_file(cut, fs::file_size(cut) / 2);
    analysis::AudioSource source = analysis::AudioSource::openFile(cut);
    const analysis::Channels decoded = source.read(0, 44100 * 12);
    ASSERT_GT(source.frames(), static_cast<std::int64_t>(decoded[0].size()));
    ASSERT_GT(decoded[0].size(), 44100u * 3);
    const fs::path intact = home.root() / "intact.wav";
    testing::writeAudio(intact, {Signal(decoded[0].begin(), decoded[0].end()), Signal(decoded[1].begin(), decoded[1].end())});

    nlohmann::json measured = LocalAudioAnalyzer::analyze(cut).dictionary();
    nlohmann::json expected = LocalAudioAnalyzer::analyze(intact).dictionary();
    EXPECT_GT(measured["sourceDurationSeconds"], measured["analyzedSeconds"]);
    measured.erase("sourceDurationSeconds");
    expected.erase("sourceDurationSeconds");
    EXPECT_EQ(measured, expected);
}

}  // namespace
}  // namespace vantorel
