// Measurements of synthesised files with known answers: level, dynamics,
// spectrum, stereo image, excerpt limits and the errors of bad input.
#include "analysis/audio_cache.h"
#include "analysis/audio_fixture.h"
#include "analysis/local_audio_analyzer.h"
#include "analysis/musical_key_analyzer.h"
#include "support/expect_error.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
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
    // The channels written as `name`, then measured whole.
    AudioMeasurement measured(const std::string& name, const std::vector<Signal>& channels, int rate = 44100) {
        writeAudio(file(name), channels, rate);
        return LocalAudioAnalyzer::analyze(file(name));
    }

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
    AudioMeasurement m = measured("sine.wav", {testing::sine(1000, 3.0, 44100, 0.5)});

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
    for (const auto& row : m.spectrogram) ASSERT_EQ(row.size(), 48u);
    EXPECT_FALSE(m.stereoCorrelation);
    EXPECT_FALSE(m.stereoWidthPercent);
}

TEST_F(LocalAnalysis, FullScaleSquareIsAllClippedWithNoCrest) {
    AudioMeasurement m = measured("square.wav", {testing::square(100, 1.0)});
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
        Signal tone = testing::sine(440, 1.0);
        tone.resize(frames);
        AudioMeasurement m = measured(std::to_string(frames) + ".wav", {tone, tone});
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
    EXPECT_ERROR(LocalAudioAnalyzer::analyze(file("silence.wav")), AudioMeasurementError,
                 AudioMeasurementErrorCase::insufficientSignal,
                 "Le clip ne contient pas assez de signal pour une analyse audio fiable.");

    writeAudio(file("tone.wav"), {testing::sine(440, 4.0)});
    EXPECT_EQ(failure(file("tone.wav"), 60.0), AudioMeasurementErrorCase::insufficientSignal)
        << "a start beyond the end reads from the last frame";
    EXPECT_EQ(failure(file("tone.wav"), 0, -1.0), AudioMeasurementErrorCase::insufficientSignal);
    EXPECT_EQ(failure(file("tone.wav"), 0, 0.0), AudioMeasurementErrorCase::insufficientSignal);
}

TEST_F(LocalAnalysis, DynamicRangeIsTheSpreadOfShortTermLoudness) {
    // 2 s blocks are exactly five 400 ms windows at 44.1 kHz.
    auto blocks = [](double quiet) {
        Signal out;
        for (int i = 0; i < 4; ++i) testing::mixInto(out, testing::sine(1000, 2.0, 44100, i % 2 ? quiet : 0.5), out.size());
        return out;
    };
    EXPECT_NEAR(measured("20db.wav", {blocks(0.05)}).dynamicRangeDb, 20.0, 0.01);
    EXPECT_DOUBLE_EQ(measured("70db.wav", {blocks(0.5 * std::pow(10.0, -3.5))}).dynamicRangeDb, 60.0);
    // Silent windows do not count as quiet ones.
    EXPECT_NEAR(measured("gaps.wav", {blocks(0.0)}).dynamicRangeDb, 0.0, 0.01);

    EXPECT_EQ(LocalAudioAnalyzer::percentileDb(std::vector<double>{0.5}, 0.95, 0.2), 0.0);
    EXPECT_NEAR(LocalAudioAnalyzer::percentileDb(std::vector<double>{1.0, NAN, 0.1, INFINITY}, 0.95, 0.2), 0.0, 1e-12)
        << "two finite values: indices 0 and 0";
    EXPECT_NEAR(LocalAudioAnalyzer::percentileDb(std::vector<double>{1.0, 0.1, 0.5, 0.5, 0.5}, 0.95, 0.2), 20.0 * std::log10(1.0 / 0.1) - 20.0 * std::log10(2.0), 1e-9);
    EXPECT_EQ(LocalAudioAnalyzer::shortTermRMS(Signal(1000, 0.5f), 1000).size(), 1u) << "512-sample floor";
}

TEST_F(LocalAnalysis, BandsCentroidAndDcOffset) {
    Signal pair = testing::sine(1000, 2.0);
    testing::mixInto(pair, testing::sine(5000, 2.0));
    AudioMeasurement m = measured("pair.wav", {pair});
    EXPECT_NEAR(m.bandEnergyPercent.at("mid_400_2000"), 50.0, 0.5);
    EXPECT_NEAR(m.bandEnergyPercent.at("presence_2000_6000"), 50.0, 0.5);
    EXPECT_NEAR(m.spectralCentroidHz, 3000, 150);

    AudioMeasurement sub = measured("sub.wav", {testing::sine(40, 2.0)});
    EXPECT_GT(sub.bandEnergyPercent.at("sub_20_60"), 95.0);
    // The loudest spectrogram cell of a pure tone is 1, in the low cells.
    double loudest = 0;
    for (const auto& row : sub.spectrogram) loudest = std::max(loudest, *std::max_element(row.begin(), row.end()));
    EXPECT_DOUBLE_EQ(loudest, 1.0);
    EXPECT_GT(sub.spectrogram[1][5], 0.9);
    EXPECT_EQ(sub.spectrogram[1][47], 0.0) << "more than 60 dB down";

    Signal offset = testing::sine(1000, 1.0, 44100, 0.25);
    for (float& x : offset) x += 0.1f;
    EXPECT_NEAR(measured("offset.wav", {offset}).dcOffset, 0.1, 1e-4);

    // Frames every (count − 4096) ÷ 72 samples: at most 73 rows.
    EXPECT_EQ(measured("long.wav", {testing::sine(1000, 30.0, 8000)}, 8000).spectrogram.size(), 73u);
    EXPECT_EQ(measured("short.wav", {testing::sine(1000, 8192.0 / 8000, 8000)}, 8000).spectrogram.size(), 3u)
        << "hop of 2048 at least";
}

TEST_F(LocalAnalysis, StereoImage) {
    const Signal tone = testing::sine(440, 2.0);
    struct Case {
        const char* name;
        std::vector<Signal> channels;
        double correlation, correlationTolerance, width, widthTolerance;
    };
    const Case cases[] = {
        {"identical", {tone, tone}, 1.0, 1e-9, 0.0, 1e-9},
        {"opposed", {tone, testing::negated(tone)}, -1.0, 1e-9, 0.0, 0.0},  // no mid energy at all
        {"one-sided", {tone, testing::silence(2.0)}, 1.0, 0.0, 100.0, 1e-6},  // no variance on the right
        {"unrelated", {tone, testing::sine(660, 2.0)}, 0.0, 0.01, 100.0, 1.0},
        // A third channel is ignored by the image but counted in the levels.
        {"three", {tone, tone, testing::negated(tone)}, 1.0, 1e-9, 0.0, 1e-9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AudioMeasurement m = measured(std::string(c.name) + ".wav", c.channels);
        EXPECT_EQ(m.channelCount, static_cast<int>(c.channels.size()));
        ASSERT_TRUE(m.stereoCorrelation && m.stereoWidthPercent);
        EXPECT_NEAR(*m.stereoCorrelation, c.correlation, c.correlationTolerance);
        EXPECT_NEAR(*m.stereoWidthPercent, c.width, c.widthTolerance);
    }

    std::vector<float> a(10, 0.1f), b(9, 0.1f);
    std::vector<std::span<const float>> unequal{a, b};
    EXPECT_FALSE(LocalAudioAnalyzer::stereoSummary(unequal).correlation);
}

TEST_F(LocalAnalysis, WaveformPeaks) {
    Signal half = testing::sine(1000, 1.0);
    testing::mixInto(half, testing::silence(1.0), half.size());
    auto peaks = LocalAudioAnalyzer::waveform(half, 120);
    ASSERT_EQ(peaks.size(), 120u);
    EXPECT_NEAR(peaks[0], 0.5, 0.001);
    EXPECT_NEAR(peaks[59], 0.5, 0.001);
    EXPECT_EQ(peaks[60], 0.0);
    EXPECT_EQ(peaks[119], 0.0);

    // Fewer samples than points: one sample per point, then zeros.
    auto few = LocalAudioAnalyzer::waveform(std::vector<float>{0.1f, -0.7f, 0.3f}, 120);
    ASSERT_EQ(few.size(), 120u);
    EXPECT_NEAR(few[1], 0.7, 1e-6);
    EXPECT_EQ(few[3], 0.0);
    EXPECT_TRUE(LocalAudioAnalyzer::waveform({}, 120).empty());
}

TEST_F(LocalAnalysis, ExcerptIsCappedAt90Seconds) {
    writeAudio(file("long.wav"), {testing::sine(440, 100.0, 8000)}, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    AudioMeasurement whole = LocalAudioAnalyzer::analyze(file("long.wav"));
    EXPECT_DOUBLE_EQ(whole.analyzedSeconds, 90.0);
    EXPECT_DOUBLE_EQ(whole.sourceDurationSeconds, 100.0);
    EXPECT_DOUBLE_EQ(LocalAudioAnalyzer::analyze(file("long.wav"), 0, 0, 120.0).analyzedSeconds, 90.0);
    EXPECT_DOUBLE_EQ(LocalAudioAnalyzer::analyze(file("long.wav"), 0, 95.0).analyzedSeconds, 5.0);
    EXPECT_DOUBLE_EQ(LocalAudioAnalyzer::analyze(file("long.wav"), 0, 10.0, 2.5).analyzedSeconds, 2.5);
}

TEST_F(LocalAnalysis, KeyIsTheKeyAnalyzerOnTheSameExcerpt) {
    const std::vector<std::vector<int>> cadence = {{53, 65, 68, 72}, {58, 70, 73, 77}, {48, 67, 72, 76}, {53, 65, 68, 72}};
    Signal music = testing::chordSequence(cadence, 2.0);
    writeAudio(file("cadence.wav"), {music, music});
    for (double start : {0.0, 1.3, 5.9}) {
        SCOPED_TRACE(start);
        AudioMeasurement m = LocalAudioAnalyzer::analyze(file("cadence.wav"), -3, start);
        KeyDetection alone = MusicalKeyAnalyzer::analyzeAudio(file("cadence.wav"), -3, start, m.analyzedSeconds);
        ASSERT_TRUE(m.key && m.keyConfidence);
        EXPECT_EQ(*m.key, alone.key);
        EXPECT_EQ(*m.keyConfidence, alone.confidence);
    }
    // Too short for the key analyzer, long enough for a measurement: no key.
    AudioMeasurement brief = LocalAudioAnalyzer::analyze(file("cadence.wav"), 0, 0, 0.2);
    EXPECT_FALSE(brief.key);
    EXPECT_FALSE(brief.keyConfidence);
    EXPECT_FALSE(brief.dictionary().contains("key"));
}

TEST_F(LocalAnalysis, DictionaryForm) {
    Signal tone = testing::sine(440, 1.0);
    nlohmann::json mono = measured("mono.wav", {tone}).dictionary();
    nlohmann::json stereo = measured("stereo.wav", {tone, testing::sine(440, 1.0, 44100, 0.25)}).dictionary();

    std::vector<std::string> keys;
    for (const auto& [key, value] : mono.items()) keys.push_back(key);
    // One second: loudness over 400 ms blocks, but no 3 s window for the
    // short-term figures, the range or the curve.
    EXPECT_EQ(keys, (std::vector<std::string>{"analyzedSeconds", "bandEnergyPercent", "channelCount", "clippedSamplePercent",
                                              "crestFactorDb", "dcOffset", "dynamicRangeDb", "integratedLufs", "key",
                                              "keyConfidence", "measurementNotice", "momentaryLufsMax", "privacy",
                                              "rmsDbFS", "samplePeakDbFS", "sampleRate", "scope", "sourceDurationSeconds",
                                              "spectralCentroidHz", "spectrogram", "truePeakDbTP", "waveform"}));
    EXPECT_EQ(mono["scope"], "rawClipSourcePreFx");
    EXPECT_EQ(mono["measurementNotice"],
              "Analyse locale du fichier source du clip, avant les devices, retours et traitements master. Ce n’est pas le "
              "rendu entendu au master.");
    EXPECT_EQ(mono["privacy"], "Le fichier audio reste sur cet ordinateur.");
    EXPECT_TRUE(mono["channelCount"].is_number_integer());
    EXPECT_TRUE(mono["sampleRate"].is_number_float());
    EXPECT_EQ(mono["bandEnergyPercent"].size(), 6u);
    EXPECT_EQ(mono["waveform"].size(), 120u);
    EXPECT_TRUE(mono["spectrogram"][0].is_array());

    EXPECT_FALSE(mono.contains("stereoCorrelation"));
    EXPECT_TRUE(mono["key"].is_string());
    EXPECT_TRUE(mono["keyConfidence"].is_number_float());
    EXPECT_TRUE(stereo["stereoCorrelation"].is_number());
    EXPECT_TRUE(stereo["stereoWidthPercent"].is_number());
    EXPECT_NEAR(stereo["stereoWidthPercent"].get<double>(), 100.0 / 3.0, 0.01);

    // Very short excerpts keep the band object, empty.
    Signal brief = tone;
    brief.resize(3000);
    nlohmann::json shortForm = measured("brief.wav", {brief}).dictionary();
    EXPECT_TRUE(shortForm["bandEnergyPercent"].is_object());
    EXPECT_TRUE(shortForm["bandEnergyPercent"].empty());
    EXPECT_EQ(shortForm["spectrogram"], nlohmann::json::array());
}

TEST_F(LocalAnalysis, OtherContainersDecodeAlike) {
    struct Case {
        const char* name;
        int format;
        double tolerance;
    };
    const Case cases[] = {
        {"tone.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 0.01},
        {"tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0.01},
        {"tone.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.5},
        {"tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 0.5},
    };
    Signal tone = testing::sine(1000, 2.0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SF_INFO probe{0, 44100, 2, c.format, 0, 0};
        if (!sf_format_check(&probe)) continue;  // this libsndfile cannot write it
        writeAudio(file(c.name), {tone, tone}, 44100, c.format);
        AudioMeasurement m = LocalAudioAnalyzer::analyze(file(c.name));
        EXPECT_NEAR(m.samplePeakDbFS, 20 * std::log10(0.5), c.tolerance);
        EXPECT_GT(m.bandEnergyPercent.at("mid_400_2000"), 99.0);
        EXPECT_NEAR(m.sourceDurationSeconds, 2.0, 0.06);
    }
}

TEST_F(LocalAnalysis, NonFiniteSamplesGiveAFiniteMeasurement) {
    Signal left = testing::sine(1000, 2.0), right = testing::sine(1000, 2.0, 44100, 0.25);
    for (std::size_t i = 1000; i < left.size(); i += 9000) {
        left[i] = NAN;
        right[i + 3] = INFINITY;
        left[i + 5] = -INFINITY;
    }
    AudioMeasurement m = measured("nan.wav", {left, right});
    nlohmann::json form = m.dictionary();
    EXPECT_EQ(form.dump().find("null"), std::string::npos) << form.dump();
    EXPECT_NEAR(m.samplePeakDbFS, 20 * std::log10(0.5), 0.01);
    EXPECT_EQ(m.clippedSamplePercent, 0.0);
    ASSERT_TRUE(m.stereoCorrelation);
    EXPECT_NEAR(*m.stereoCorrelation, 1.0, 1e-6);
    for (double peak : m.waveform) EXPECT_LE(peak, 0.5);
    EXPECT_TRUE(std::isfinite(m.spectralCentroidHz));

    // Nothing finite at all: no signal to speak of.
    writeAudio(file("all-nan.wav"), {Signal(5000, NAN)});
    EXPECT_EQ(failure(file("all-nan.wav")), AudioMeasurementErrorCase::insufficientSignal);
}

TEST_F(LocalAnalysis, BadFilesFailWithTheirCase) {
    EXPECT_ERROR(LocalAudioAnalyzer::analyze(file("missing.wav")), AudioMeasurementError,
                 AudioMeasurementErrorCase::unreadableAudio, "Le fichier audio du clip est illisible.");
    fs::create_directories(file("folder.wav"));
    EXPECT_EQ(failure(file("folder.wav")), AudioMeasurementErrorCase::unreadableAudio);
    testing::writeText(file("empty.wav"), "");
    EXPECT_EQ(failure(file("empty.wav")), AudioMeasurementErrorCase::unreadableAudio);
    testing::writeText(file("notes.wav"), "Ceci n’est pas un fichier audio.\n");
    EXPECT_EQ(failure(file("notes.wav")), AudioMeasurementErrorCase::unreadableAudio);

    // A header announcing no sample rate, or no channel: a readable file
    // with one field of its format chunk zeroed.
    auto zeroed = [&](const char* name, std::streamoff field, int size) {
        writeAudio(file(name), {testing::sine(440, 1.0)}, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        std::fstream(file(name), std::ios::in | std::ios::out | std::ios::binary).seekp(field).write("\0\0\0\0", size);
    };
    zeroed("no-rate.wav", 24, 4);
    EXPECT_ERROR(LocalAudioAnalyzer::analyze(file("no-rate.wav")), AudioMeasurementError,
                 AudioMeasurementErrorCase::unsupportedAudio, "Le format audio de ce clip n’est pas pris en charge.");
    zeroed("no-channel.wav", 22, 2);
    EXPECT_EQ(failure(file("no-channel.wav")), AudioMeasurementErrorCase::unsupportedAudio);
}

TEST_F(LocalAnalysis, TruncatedFilesMeasureWhatIsThere) {
    const auto path = file("cut.wav");
    writeAudio(path, {testing::sine(1000, 2.0)}, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const auto size = fs::file_size(path);
    fs::resize_file(path, 44 + (size - 44) / 4);
    AudioMeasurement m = LocalAudioAnalyzer::analyze(path);
    EXPECT_NEAR(m.analyzedSeconds, 0.5, 0.001);
    EXPECT_NEAR(m.samplePeakDbFS, 20 * std::log10(0.5), 0.01);

    fs::resize_file(path, 44 + 2 * 2000);
    EXPECT_EQ(failure(path), AudioMeasurementErrorCase::insufficientSignal);
    fs::resize_file(path, 30);
    EXPECT_EQ(failure(path), AudioMeasurementErrorCase::unreadableAudio);
}

}  // namespace
}  // namespace vantorel
