// The measurement takes shortcuts that must never show in a figure: the true
// peak leaves unfiltered the samples that cannot beat the peak found so far,
// 16-bit PCM is read as integers and scaled without the decoder's float
// conversion, a stereo block's levels are summed in the image's readings of
// it, and the short-term sums in lanes that a block may end between.
#include "analysis/analysis_pipeline.h"
#include "analysis/audio_cache.h"
#include "analysis/audio_decoder.h"
#include "analysis/audio_fixture.h"
#include "analysis/local_audio_analyzer.h"
#include "analysis/loudness_meter.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace vantorel {
namespace {

using testing::Signal;

double truePeakOf(const std::vector<Signal>& channels, int rate, std::size_t blockFrames) {
    analysis::LoudnessMeter meter(rate, channels.size());
    for (std::size_t at = 0; at < channels[0].size(); at += blockFrames) {
        std::vector<std::span<const float>> block;
        for (const Signal& channel : channels) {
            block.push_back(std::span(channel).subspan(at, std::min(blockFrames, channel.size() - at)));
        }
        meter.addTruePeakOnly(block);
    }
    return meter.summary().truePeakDbTP.value_or(-999);
}

// Two equal samples peak between them, above both. Beside a louder channel,
// whose peak the interpolator must then beat, the pair sits at every offset
// from the stretches the bound is taken over and from the blocks' edges:
// the filter reaches back into earlier stretches and blocks, and a position
// left unfiltered that holds the pair's crest would lower the result.
TEST(TruePeakShortcut, NothingLeftUnfilteredHoldsThePeak) {
    for (int rate : {44100, 96000}) {  // 4× and 2× oversampling
        Signal loud(3000);
        for (std::size_t i = 0; i < loud.size(); ++i) {
            loud[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 100 * static_cast<double>(i) / rate));
        }
        const double loudPeak = truePeakOf({loud}, rate, loud.size());
        for (std::size_t offset = 0; offset < 48; ++offset) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, pair at " + std::to_string(offset));
            Signal pair(loud.size(), 0.0f);
            pair[2000 + offset] = pair[2001 + offset] = 0.42f;
            const double pairPeak = truePeakOf({pair}, rate, pair.size());
            ASSERT_GT(pairPeak, loudPeak) << "the pair's crest beats the loud channel's peak";
            for (std::size_t blockFrames : {pair.size(), std::size_t{37}, std::size_t{5}}) {
                EXPECT_EQ(truePeakOf({loud, pair}, rate, blockFrames), pairPeak) << blockFrames << "-frame blocks";
            }
        }
    }
}

class MeasurementShortcut : public ::testing::Test {
protected:
    void SetUp() override { analysis::sharedAudioCache().clear(); }
    void TearDown() override { analysis::sharedAudioCache().clear(); }
    testing::TempHome home;
};

// The decoder's own float conversion of a 16-bit file, written as 32-bit
// float: the same samples reached without the shortcut.
std::vector<Signal> decodedAsFloat(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    std::vector<Signal> channels(static_cast<std::size_t>(info.channels));
    for (std::size_t i = 0; i < interleaved.size(); ++i) channels[i % channels.size()].push_back(interleaved[i]);
    return channels;
}

TEST_F(MeasurementShortcut, SixteenBitPcmMeasuresAsTheDecodersFloats) {
    // Different channels, an odd length and full-scale samples: a swapped
    // channel, a lost frame or a scale of 1/32767 would all show.
    Signal left = testing::chordSequence({{57, 60, 64}, {53, 57, 60}}, 1.5, 44100);
    left.resize(left.size() - 3);
    Signal right = testing::negated(left);
    for (std::size_t i = 0; i < right.size(); ++i) right[i] *= 0.6f;
    left[1234] = 1.0f;
    right[4321] = -1.0f;
    struct Case {
        const char* name;
        int format;
    };
    for (const Case c : {Case{"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                         Case{"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16}}) {
        SCOPED_TRACE(c.name);
        const auto shortcut = home.root() / c.name;
        const auto reference = home.root() / (std::string(c.name) + ".float.wav");
        testing::writeAudio(shortcut, {left, right}, 44100, c.format);
        testing::writeAudio(reference, decodedAsFloat(shortcut));
        EXPECT_EQ(LocalAudioAnalyzer::analyze(shortcut).dictionary(),
                  LocalAudioAnalyzer::analyze(reference).dictionary());
    }
}

// Levels of every channel, whichever reading sums them: the loudest, the
// clipped and the offset channel is each time another.
TEST_F(MeasurementShortcut, LevelsCountEveryChannel) {
    const std::size_t frames = 44100 + 3;
    Signal quiet = testing::sine(440, 1.0), loud = testing::sine(220, 1.0, 44100, 0.8);
    Signal square = testing::square(100, 1.0);
    for (Signal* s : {&quiet, &loud, &square}) s->resize(frames, 0.1f);
    for (float& x : loud) x += 0.05f;
    const std::vector<std::vector<Signal>> layouts = {{quiet, loud}, {loud, quiet}, {quiet, loud, square}};
    for (const std::vector<Signal>& channels : layouts) {
        SCOPED_TRACE(channels.size());
        double peak = 0, squares = 0, sum = 0, clipped = 0;
        for (const Signal& channel : channels) {
            for (float x : channel) {
                peak = std::max(peak, std::fabs(static_cast<double>(x)));
                squares += static_cast<double>(x) * x;
                sum += x;
                clipped += std::fabs(x) >= 0.999f;
            }
        }
        const double count = static_cast<double>(channels.size() * frames);
        const auto path = home.root() / ("levels-" + std::to_string(channels.size()) +
                                         (channels[0] == quiet ? "-quiet-first.wav" : "-loud-first.wav"));
        testing::writeAudio(path, channels);
        const AudioMeasurement m = LocalAudioAnalyzer::analyze(path);
        EXPECT_NEAR(m.samplePeakDbFS, 20 * std::log10(peak), 1e-9);
        EXPECT_NEAR(m.rmsDbFS, 10 * std::log10(squares / count), 1e-9);
        EXPECT_NEAR(m.dcOffset, sum / count, 1e-12);
        EXPECT_NEAR(m.clippedSamplePercent, clipped * 100 / count, 1e-9);
    }
}

// At 11025 Hz a 400 ms window is 4410 samples, not a whole number of fours,
// and the second block starts inside window 7, two samples past a lane
// boundary. That window is made the second loudest, whose level the dynamic
// range reads.
TEST_F(MeasurementShortcut, ShortTermWindowsCutAnywhereByTheBlocks) {
    const int rate = 11025;
    const std::size_t window = 4410;
    Signal tone(20 * window);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        const std::size_t w = i / window;
        const double level = w == 7 ? 0.475 : 0.1 + 0.02 * static_cast<double>(w);
        tone[i] = static_cast<float>(level * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / rate));
    }
    const auto path = home.root() / "short-term.wav";
    testing::writeAudio(path, {tone, tone}, rate);
    const AudioMeasurement m = LocalAudioAnalyzer::analyze(path);
    analysis::AudioSource source = analysis::AudioSource::openFile(path);
    const analysis::Samples mono = analysis::mixToMono(source.read(0, source.frames()));
    EXPECT_EQ(m.dynamicRangeDb,
              LocalAudioAnalyzer::percentileDb(LocalAudioAnalyzer::shortTermRMS(mono, rate), 0.95, 0.2));
}

// Regression: a float sample past the oversampling filter's clamp (1e18) gave
// a true peak 120 dB under the sample peak.
TEST_F(MeasurementShortcut, TruePeakNeverUnderTheSamplePeak) {
    Signal left = testing::sine(440, 1.0), right = testing::sine(440, 1.0);
    left[22050] = 1e24f;
    const auto path = home.root() / "huge.wav";
    testing::writeAudio(path, {left, right});
    const AudioMeasurement m = LocalAudioAnalyzer::analyze(path);
    ASSERT_TRUE(m.truePeakDbTP);
    EXPECT_GE(*m.truePeakDbTP, m.samplePeakDbFS);
}

}  // namespace
}  // namespace vantorel
