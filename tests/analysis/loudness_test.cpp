// Loudness and true peak: the broadcast test signals with their known
// answers, then agreement with libebur128 on the same signals and on music.
#include "analysis/audio_cache.h"
#include "analysis/audio_fixture.h"
#include "analysis/local_audio_analyzer.h"
#include "analysis/loudness_meter.h"
#include "support/temp_home.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace vantorel {
namespace {

using testing::Signal;

double amplitudeOf(double dbfs) { return std::pow(10.0, dbfs / 20.0); }

Signal tone(double dbfs, double seconds, int rate, double frequency = 1000) {
    return testing::sine(frequency, seconds, rate, amplitudeOf(dbfs));
}

Signal joined(std::initializer_list<Signal> parts) {
    Signal out;
    for (const Signal& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

LocalAudioAnalyzer::LoudnessSummary measure(const std::vector<Signal>& channels, int rate) {
    std::vector<std::span<const float>> views(channels.begin(), channels.end());
    return LocalAudioAnalyzer::loudness(views, rate);
}

// A sine at a quarter of the sample rate starting 45° into its period: every
// sample lands at ±0.707 of the crest, which lies halfway between samples.
// Half-second raised-cosine fades, since an abrupt start rings in any
// interpolator.
Signal quarterRateSine(double amplitude, double seconds, int rate) {
    Signal out(static_cast<std::size_t>(seconds * rate));
    const std::size_t fade = static_cast<std::size_t>(0.5 * rate);
    for (std::size_t i = 0; i < out.size(); ++i) {
        double gain = 1.0;
        const std::size_t edge = std::min(i, out.size() - 1 - i);
        if (edge < fade) gain = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(edge) / fade);
        out[i] = static_cast<float>(amplitude * gain *
                                    std::sin(std::numbers::pi / 2.0 * static_cast<double>(i) + std::numbers::pi / 4));
    }
    return out;
}

// Something like a produced track: a chord pad, a kick on every beat, hats
// with noise, a quiet breakdown and a loud drop, pushed into a soft clipper.
std::vector<Signal> music(int rate, double seconds, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    const auto frames = static_cast<std::size_t>(seconds * rate);
    Signal pad = testing::chordSequence({{57, 60, 64}, {53, 57, 60}, {48, 52, 55}, {55, 59, 62}}, 2.0, rate);
    std::vector<Signal> out(2, Signal(frames, 0.0f));
    const double beat = 60.0 / 126.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double section = std::fmod(t, 24.0);
        const double level = section < 8 ? 0.25 : section < 12 ? 0.08 : 1.0;  // verse, break, drop
        const double sinceBeat = std::fmod(t, beat);
        const double kick = section < 8 || section >= 12
                                ? std::sin(2 * std::numbers::pi * (50 + 80 * std::exp(-sinceBeat * 30)) * sinceBeat) *
                                      std::exp(-sinceBeat * 8)
                                : 0.0;
        const double sinceHat = std::fmod(t + beat / 2, beat);
        const double hat = noise(random) * 0.15 * std::exp(-sinceHat * 60);
        const double padSample = pad[i % pad.size()] * 1.5;
        const double left = level * (0.9 * kick + padSample + hat);
        const double right = level * (0.9 * kick + 0.8 * padSample - hat * 0.7);
        out[0][i] = static_cast<float>(std::tanh(1.6 * left) * 0.98);
        out[1][i] = static_cast<float>(std::tanh(1.6 * right) * 0.98);
    }
    return out;
}

struct Reference {
    double integrated = 0;
    double range = 0;
    double truePeak = 0;
};

// libebur128 samples the short-term loudness once a second for its range;
// the range is defined on ten values a second. So libebur128's own
// short-term loudness is read every 100 ms and gated as the range asks.
double referenceRange(const std::vector<float>& interleaved, std::size_t channels, int rate) {
    ebur128_state* state = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate), EBUR128_MODE_S);
    const std::size_t step = static_cast<std::size_t>(rate) / 10;
    const std::size_t frames = interleaved.size() / channels;
    std::vector<double> shortTerm;
    for (std::size_t done = 0; done + step <= frames; done += step) {
        ebur128_add_frames_float(state, interleaved.data() + done * channels, step);
        double value = 0;
        if (done + step >= static_cast<std::size_t>(rate) * 3 && ebur128_loudness_shortterm(state, &value) == EBUR128_SUCCESS) {
            shortTerm.push_back(value);
        }
    }
    ebur128_destroy(&state);
    std::vector<double> gated;
    double energy = 0;
    for (double value : shortTerm) {
        if (value > -70) gated.push_back(value), energy += std::pow(10.0, value / 10);
    }
    if (gated.empty()) return 0;
    const double threshold = 10 * std::log10(energy / static_cast<double>(gated.size())) - 20;
    std::erase_if(gated, [&](double value) { return value <= threshold; });
    std::sort(gated.begin(), gated.end());
    auto at = [&](double q) { return gated[static_cast<std::size_t>(std::round((gated.size() - 1) * q))]; };
    return at(0.95) - at(0.10);
}

Reference referenceOf(const std::vector<Signal>& channels, int rate) {
    ebur128_state* state = ebur128_init(static_cast<unsigned>(channels.size()), static_cast<unsigned long>(rate),
                                        EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    std::vector<float> interleaved(channels.size() * channels[0].size());
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        for (std::size_t c = 0; c < channels.size(); ++c) interleaved[i * channels.size() + c] = channels[c][i];
    }
    ebur128_add_frames_float(state, interleaved.data(), channels[0].size());
    Reference reference;
    ebur128_loudness_global(state, &reference.integrated);
    double peak = 0;
    for (unsigned c = 0; c < channels.size(); ++c) {
        double channelPeak = 0;
        ebur128_true_peak(state, c, &channelPeak);
        peak = std::max(peak, channelPeak);
    }
    reference.truePeak = 20 * std::log10(peak);
    ebur128_destroy(&state);
    reference.range = referenceRange(interleaved, channels.size(), rate);
    return reference;
}

TEST(Loudness, SteadySinesReadTheirLevel) {
    struct Case {
        const char* label;
        double dbfs;
        int rate;
    };
    for (const Case& c : {Case{"-23 dBFS at 48 kHz", -23, 48000}, Case{"-33 dBFS at 48 kHz", -33, 48000},
                          Case{"-23 dBFS at 44.1 kHz", -23, 44100}, Case{"-23 dBFS at 96 kHz", -23, 96000}}) {
        SCOPED_TRACE(c.label);
        const Signal s = tone(c.dbfs, 20, c.rate);
        const auto summary = measure({s, s}, c.rate);
        ASSERT_TRUE(summary.integratedLufs && summary.shortTermLufsMax && summary.momentaryLufsMax);
        EXPECT_NEAR(*summary.integratedLufs, c.dbfs, 0.1);
        EXPECT_NEAR(*summary.shortTermLufsMax, c.dbfs, 0.1);
        EXPECT_NEAR(*summary.momentaryLufsMax, c.dbfs, 0.1);
        ASSERT_TRUE(summary.loudnessRangeLu);
        EXPECT_NEAR(*summary.loudnessRangeLu, 0, 0.1) << "a steady tone has no loudness range";
    }
}

TEST(Loudness, RelativeGateLeavesQuietPassagesOut) {
    const int rate = 48000;
    const Signal s = joined({tone(-36, 10, rate), tone(-23, 60, rate), tone(-36, 10, rate)});
    const auto summary = measure({s, s}, rate);
    ASSERT_TRUE(summary.integratedLufs);
    EXPECT_NEAR(*summary.integratedLufs, -23, 0.1);
}

TEST(Loudness, LoudnessRangeOfAlternatingSteps) {
    const int rate = 48000;
    const Signal s = joined({tone(-20, 20, rate), tone(-30, 20, rate)});
    const auto summary = measure({s, s}, rate);
    ASSERT_TRUE(summary.loudnessRangeLu);
    EXPECT_NEAR(*summary.loudnessRangeLu, 10, 1);

    // The curve follows the step: one point a second from the first whole
    // 3 s window.
    ASSERT_EQ(summary.loudnessCurve.size(), 38u);
    EXPECT_NEAR(summary.loudnessCurve.front(), -20, 0.1);
    EXPECT_NEAR(summary.loudnessCurve.back(), -30, 0.1);
}

TEST(Loudness, CurveKeepsAtMost120Points) {
    const int rate = 8000;
    const Signal s = tone(-20, 400, rate, 500);
    const auto summary = measure({s}, rate);
    EXPECT_LE(summary.loudnessCurve.size(), 120u);
    EXPECT_GE(summary.loudnessCurve.size(), 115u) << "spread over the whole signal";
}

TEST(Loudness, SignalsTooQuietOrTooShortHaveNoGatedFigures) {
    const int rate = 48000;
    const Signal quiet = tone(-85, 10, rate);
    auto summary = measure({quiet, quiet}, rate);
    EXPECT_FALSE(summary.integratedLufs);
    EXPECT_FALSE(summary.loudnessRangeLu);
    ASSERT_TRUE(summary.momentaryLufsMax) << "the maxima are not gated";
    EXPECT_NEAR(*summary.momentaryLufsMax, -85, 0.1);

    const Signal brief = tone(-20, 0.2, rate);
    summary = measure({brief, brief}, rate);
    EXPECT_FALSE(summary.integratedLufs);
    EXPECT_FALSE(summary.momentaryLufsMax);
    EXPECT_FALSE(summary.shortTermLufsMax);
    EXPECT_FALSE(summary.loudnessRangeLu);
    EXPECT_TRUE(summary.loudnessCurve.empty());
    ASSERT_TRUE(summary.truePeakDbTP);
    EXPECT_NEAR(*summary.truePeakDbTP, -20, 0.2);
}

TEST(Loudness, ChannelsAreWeighedAsBroadcastLayouts) {
    const int rate = 48000;
    const Signal s = tone(-23, 5, rate), none(s.size(), 0.0f);
    const double stereo = *measure({s, s}, rate).integratedLufs;
    EXPECT_NEAR(stereo - *measure({s}, rate).integratedLufs, 3.01, 0.02) << "mono counts once";
    // 5.1 in the WAV order L R C LFE Ls Rs.
    EXPECT_NEAR(*measure({s, none, none, none, none, none}, rate).integratedLufs, -26.01, 0.1);
    EXPECT_FALSE(measure({none, none, none, s, none, none}, rate).integratedLufs) << "the LFE is left out";
    EXPECT_NEAR(*measure({none, none, none, none, s, none}, rate).integratedLufs, -26.01 + 1.49, 0.1);
}

TEST(Loudness, TruePeakFindsTheCrestBetweenSamples) {
    for (int rate : {44100, 48000, 96000}) {
        SCOPED_TRACE(rate);
        const Signal s = quarterRateSine(0.5, 4, rate);
        float samplePeak = 0;
        for (float x : s) samplePeak = std::max(samplePeak, std::fabs(x));
        ASSERT_NEAR(20 * std::log10(samplePeak), 20 * std::log10(0.5) - 3.01, 0.01);
        const auto summary = measure({s, Signal(s.size(), 0.0f)}, rate);
        ASSERT_TRUE(summary.truePeakDbTP);
        EXPECT_NEAR(*summary.truePeakDbTP, 20 * std::log10(0.5), 0.2);
    }
}

TEST(Loudness, BlocksOfAnySizeGiveTheSameFigures) {
    const int rate = 44100;
    const std::vector<Signal> song = music(rate, 30, 7);
    const auto whole = measure(song, rate);
    analysis::LoudnessMeter meter(rate, 2);
    std::size_t position = 0;
    for (std::size_t size : {1u, 5u, 4409u, 4411u, 100000u, 3u}) {
        for (std::size_t done = 0; done < 40 && position < song[0].size(); ++done) {
            const std::size_t count = std::min(size, song[0].size() - position);
            const std::vector<std::span<const float>> views{std::span(song[0]).subspan(position, count),
                                                            std::span(song[1]).subspan(position, count)};
            meter.add(views);
            position += count;
        }
    }
    const std::vector<std::span<const float>> rest{std::span(song[0]).subspan(position),
                                                   std::span(song[1]).subspan(position)};
    meter.add(rest);
    const auto pieces = meter.summary();
    EXPECT_NEAR(*pieces.integratedLufs, *whole.integratedLufs, 1e-9);
    EXPECT_NEAR(*pieces.loudnessRangeLu, *whole.loudnessRangeLu, 1e-9);
    EXPECT_EQ(*pieces.truePeakDbTP, *whole.truePeakDbTP);
    EXPECT_EQ(pieces.loudnessCurve.size(), whole.loudnessCurve.size());
}

TEST(Loudness, AgreesWithLibebur128) {
    struct Case {
        std::string label;
        int rate;
        std::vector<Signal> channels;
    };
    const Signal steady = tone(-23, 10, 48000);
    const Signal gated = joined({tone(-36, 10, 48000), tone(-23, 60, 48000), tone(-36, 10, 48000)});
    const Signal steps = joined({tone(-20, 20, 48000), tone(-30, 20, 48000)});
    const Signal crest = quarterRateSine(0.5, 4, 44100);
    std::vector<Case> cases = {
        {"steady tone", 48000, {steady, steady}},
        {"relative gate", 48000, {gated, gated}},
        {"range steps", 48000, {steps, steps}},
        {"inter-sample crest", 44100, {crest, crest}},
        {"music at 44.1 kHz", 44100, music(44100, 36, 1)},
        {"music at 48 kHz", 48000, music(48000, 30, 2)},
        {"music at 96 kHz", 96000, music(96000, 14, 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Reference reference = referenceOf(c.channels, c.rate);
        const auto summary = measure(c.channels, c.rate);
        ASSERT_TRUE(summary.integratedLufs && summary.truePeakDbTP);
        EXPECT_NEAR(*summary.integratedLufs, reference.integrated, 0.1);
        EXPECT_NEAR(*summary.truePeakDbTP, reference.truePeak, 0.2);
        ASSERT_TRUE(summary.loudnessRangeLu);
        EXPECT_NEAR(*summary.loudnessRangeLu, reference.range, 0.2);
    }
}

class LoudnessOfFiles : public ::testing::Test {
protected:
    void SetUp() override { analysis::sharedAudioCache().clear(); }
    void TearDown() override { analysis::sharedAudioCache().clear(); }
    testing::TempHome home;
};

TEST_F(LoudnessOfFiles, MeasurementCarriesLoudnessWhenDefined) {
    const auto loud = home.root() / "loud.wav", quiet = home.root() / "quiet.wav";
    const Signal s = tone(-23, 12, 48000);
    testing::writeAudio(loud, {s, s}, 48000);
    const Signal q = tone(-85, 12, 48000);
    testing::writeAudio(quiet, {q, q}, 48000);

    const nlohmann::json measured = LocalAudioAnalyzer::analyze(loud).dictionary();
    for (const char* key : {"integratedLufs", "loudnessRangeLu", "shortTermLufsMax", "momentaryLufsMax", "truePeakDbTP"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(measured.contains(key));
        EXPECT_TRUE(measured[key].is_number());
    }
    EXPECT_NEAR(measured["integratedLufs"].get<double>(), -23, 0.1);
    EXPECT_NEAR(measured["truePeakDbTP"].get<double>(), -23, 0.1);
    EXPECT_EQ(measured["loudnessCurve"].size(), 10u);

    const nlohmann::json faint = LocalAudioAnalyzer::analyze(quiet).dictionary();
    EXPECT_FALSE(faint.contains("integratedLufs"));
    EXPECT_FALSE(faint.contains("loudnessRangeLu"));
    EXPECT_TRUE(faint.contains("momentaryLufsMax"));
    EXPECT_TRUE(faint.contains("truePeakDbTP"));
}

}  // namespace
}  // namespace vantorel
