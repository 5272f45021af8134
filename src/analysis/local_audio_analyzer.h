// Level, dynamics, spectrum, stereo image and key of an audio file, measured
// on this machine.
//
// `analyze` decodes at most 90 s of the file and returns an
// `AudioMeasurement`; results are memoised process-wide by file, size,
// modification date and arguments (24 entries at most, then the cache starts
// afresh). It is synchronous and CPU-bound, and safe to call from several
// threads at once. The measuring steps are also exposed as pure functions
// over float spans, so that they can be checked without any file.
#pragma once

#include "common/error.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

struct AudioMeasurement {
    double analyzedSeconds = 0;        // frames read ÷ sample rate
    double sourceDurationSeconds = 0;  // file length ÷ sample rate
    double sampleRate = 0;
    int channelCount = 0;
    double samplePeakDbFS = -120;
    double rmsDbFS = -120;
    double crestFactorDb = 0;          // peak − RMS, never below 0
    double dynamicRangeDb = 0;         // 95th − 20th percentile of 400 ms RMS, 0…60
    double dcOffset = 0;               // mean of all samples, linear
    double clippedSamplePercent = 0;   // share of samples with |x| ≥ 0.999
    std::optional<double> stereoCorrelation;   // −1…1, absent for mono
    std::optional<double> stereoWidthPercent;  // 0…400, absent for mono
    double spectralCentroidHz = 0;
    std::map<std::string, double> bandEnergyPercent;  // six shares adding to 100, or empty
    std::vector<double> waveform;                     // 120 peaks
    std::vector<std::vector<double>> spectrogram;     // rows of 48 cells, 0…1
    std::optional<std::string> key;
    std::optional<double> keyConfidence;
    // Loudness as BS.1770-4 and EBU R128 measure it; each absent when no
    // block of the excerpt is long or loud enough to define it.
    std::optional<double> integratedLufs;     // gated at −70 LUFS and −10 LU
    std::optional<double> loudnessRangeLu;    // 10th to 95th percentile of short-term loudness
    std::optional<double> shortTermLufsMax;   // loudest 3 s
    std::optional<double> momentaryLufsMax;   // loudest 400 ms
    std::optional<double> truePeakDbTP;       // largest oversampled magnitude of any channel
    std::vector<double> loudnessCurve;        // short-term loudness each second, 120 values at most

    // The JSON form the page, the agent and MCP clients receive.
    nlohmann::json dictionary() const;
};

enum class AudioMeasurementErrorCase { unreadableAudio, unsupportedAudio, insufficientSignal };

class AudioMeasurementError : public EnumError<AudioMeasurementError, AudioMeasurementErrorCase> {
public:
    using EnumError::EnumError;
    static constexpr std::string_view typeName = "AudioMeasurementError";
    static std::string_view caseName(AudioMeasurementErrorCase kind);
    static std::string_view describe(AudioMeasurementErrorCase kind);
};

namespace LocalAudioAnalyzer {

// `transposeSemitones` only renames the detected key (and is part of the
// cache key); `startSeconds` is clamped to the file's last frame; an absent
// `durationSeconds` reads up to 90 s, a negative one reads nothing.
AudioMeasurement analyze(const std::filesystem::path& file, double transposeSemitones = 0, double startSeconds = 0,
                         std::optional<double> durationSeconds = std::nullopt);

// 20·log10(max(x, 0.000001)), never below −120.
double decibels(double linear);

// RMS of consecutive 400 ms windows (512 samples when that is shorter);
// silent windows (mean square ≤ 1e-10) are left out.
std::vector<double> shortTermRMS(std::span<const float> samples, double sampleRate);

// dB(value at the `high` quantile) − dB(value at the `low` quantile) of the
// finite values, limited to 0…60; 0 with fewer than two values.
double percentileDb(std::span<const double> values, double high, double low);

struct SpectralSummary {
    double centroid = 0;
    std::map<std::string, double> bands;
    std::vector<std::vector<double>> spectrogram;
};

// About 73 Hann-windowed 4096-point spectra spread over the samples: band
// shares, magnitude-weighted centroid and a 48-cell log-frequency
// spectrogram over a 60 dB range. Empty below 4096 samples.
SpectralSummary spectralSummary(std::span<const float> samples, double sampleRate);

struct LoudnessSummary {
    std::optional<double> integratedLufs;
    std::optional<double> loudnessRangeLu;
    std::optional<double> shortTermLufsMax;
    std::optional<double> momentaryLufsMax;
    std::optional<double> truePeakDbTP;
    std::vector<double> loudnessCurve;
};

struct StereoSummary {
    std::optional<double> correlation;
    std::optional<double> width;
};

// Correlation and side/mid width of the first two channels; absent with
// fewer than two channels or channels of unequal length.
StereoSummary stereoSummary(std::span<const std::span<const float>> channels);

// The largest |x| of each of `points` equal buckets; empty for no samples.
std::vector<double> waveform(std::span<const float> samples, std::size_t points);

// Loudness (integrated, range, short-term and momentary maxima, the
// short-term curve) and true peak of de-interleaved channels of one length.
LoudnessSummary loudness(std::span<const std::span<const float>> channels, double sampleRate);

}  // namespace LocalAudioAnalyzer

}  // namespace vantorel
