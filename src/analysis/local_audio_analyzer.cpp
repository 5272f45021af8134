#include "analysis/local_audio_analyzer.h"

#include "analysis/analysis_pipeline.h"
#include "analysis/audio_cache.h"
#include "analysis/dft.h"
#include "analysis/loudness_meter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

namespace vantorel {

namespace {

constexpr double kMaxSeconds = 90.0;
constexpr std::int64_t kMinFrames = 2048;
constexpr double kPeakFloor = 0.000001;   // at or below: digital silence
constexpr double kRmsFloor = 0.0000001;
constexpr double kClipLevel = 0.999;
constexpr double kDbFloorLinear = 0.000001;
constexpr double kDbFloor = -120.0;

constexpr double kShortTermSeconds = 0.4;
constexpr std::size_t kMinShortTermWindow = 512;
constexpr double kSilentWindowMeanSquare = 1e-10;
constexpr double kHighPercentile = 0.95;
constexpr double kLowPercentile = 0.20;
constexpr double kMaxDynamicRangeDb = 60.0;

constexpr std::size_t kSpectrumLength = 4096;
constexpr std::size_t kMinSpectrumHop = 2048;
constexpr std::size_t kSpectrumFrameSpread = 72;  // hop = spare samples ÷ 72: about 73 frames
constexpr double kLowestHz = 20.0;
constexpr double kHighestHz = 20000.0;
constexpr std::size_t kSpectrogramCells = 48;
constexpr double kSpectrogramRangeDb = 60.0;

constexpr double kMaxCorrelationWidth = 400.0;
constexpr std::size_t kWaveformPoints = 120;

struct Band {
    const char* name;
    double low;   // inclusive
    double high;  // exclusive
};
constexpr std::array<Band, 6> kBands = {{{"sub_20_60", 20, 60},
                                         {"bass_60_120", 60, 120},
                                         {"lowMid_120_400", 120, 400},
                                         {"mid_400_2000", 400, 2000},
                                         {"presence_2000_6000", 2000, 6000},
                                         {"air_6000_20000", 6000, 20000}}};

constexpr const char* kScope = "rawClipSourcePreFx";
constexpr const char* kMeasurementNotice =
    "Analyse locale du fichier source du clip, avant les devices, retours et traitements master. Ce n’est pas le "
    "rendu entendu au master.";
constexpr const char* kPrivacy = "Le fichier audio reste sur cet ordinateur.";

[[noreturn]] void fail(AudioMeasurementErrorCase kind) { throw AudioMeasurementError(kind); }

AudioMeasurementErrorCase measurementCase(analysis::DecodeFailure failure) {
    switch (failure) {
        case analysis::DecodeFailure::unreadable: return AudioMeasurementErrorCase::unreadableAudio;
        case analysis::DecodeFailure::unsupported: return AudioMeasurementErrorCase::unsupportedAudio;
        case analysis::DecodeFailure::insufficient: break;
    }
    return AudioMeasurementErrorCase::insufficientSignal;
}

}  // namespace

std::string_view AudioMeasurementError::caseName(AudioMeasurementErrorCase kind) {
    switch (kind) {
        case AudioMeasurementErrorCase::unreadableAudio: return "unreadableAudio";
        case AudioMeasurementErrorCase::unsupportedAudio: return "unsupportedAudio";
        case AudioMeasurementErrorCase::insufficientSignal: return "insufficientSignal";
    }
    return "insufficientSignal";
}

std::string_view AudioMeasurementError::describe(AudioMeasurementErrorCase kind) {
    switch (kind) {
        case AudioMeasurementErrorCase::unreadableAudio: return "Le fichier audio du clip est illisible.";
        case AudioMeasurementErrorCase::unsupportedAudio: return "Le format audio de ce clip n’est pas pris en charge.";
        case AudioMeasurementErrorCase::insufficientSignal:
            return "Le clip ne contient pas assez de signal pour une analyse audio fiable.";
    }
    return "";
}

nlohmann::json AudioMeasurement::dictionary() const {
    nlohmann::json bands = nlohmann::json::object();
    for (const auto& [name, share] : bandEnergyPercent) bands[name] = share;
    nlohmann::json out = {
        {"scope", kScope},
        {"analyzedSeconds", analyzedSeconds},
        {"sourceDurationSeconds", sourceDurationSeconds},
        {"sampleRate", sampleRate},
        {"channelCount", channelCount},
        {"samplePeakDbFS", samplePeakDbFS},
        {"rmsDbFS", rmsDbFS},
        {"crestFactorDb", crestFactorDb},
        {"dynamicRangeDb", dynamicRangeDb},
        {"dcOffset", dcOffset},
        {"clippedSamplePercent", clippedSamplePercent},
        {"spectralCentroidHz", spectralCentroidHz},
        {"bandEnergyPercent", std::move(bands)},
        {"waveform", waveform},
        {"spectrogram", spectrogram},
        {"measurementNotice", kMeasurementNotice},
        {"privacy", kPrivacy},
    };
    if (stereoCorrelation) out["stereoCorrelation"] = *stereoCorrelation;
    if (stereoWidthPercent) out["stereoWidthPercent"] = *stereoWidthPercent;
    if (key) out["key"] = *key;
    if (keyConfidence) out["keyConfidence"] = *keyConfidence;
    if (integratedLufs) out["integratedLufs"] = *integratedLufs;
    if (loudnessRangeLu) out["loudnessRangeLu"] = *loudnessRangeLu;
    if (shortTermLufsMax) out["shortTermLufsMax"] = *shortTermLufsMax;
    if (momentaryLufsMax) out["momentaryLufsMax"] = *momentaryLufsMax;
    if (truePeakDbTP) out["truePeakDbTP"] = *truePeakDbTP;
    if (!loudnessCurve.empty()) out["loudnessCurve"] = loudnessCurve;
    return out;
}

namespace LocalAudioAnalyzer {

double decibels(double linear) {
    double db = 20.0 * std::log10(std::max(linear, kDbFloorLinear));
    return std::max(db, kDbFloor);
}

std::vector<double> shortTermRMS(std::span<const float> samples, double sampleRate) {
    auto window = static_cast<std::size_t>(std::max(sampleRate * kShortTermSeconds, 0.0));
    if (window <= kMinShortTermWindow) window = kMinShortTermWindow;
    std::vector<double> values;
    for (std::size_t start = 0; start + window <= samples.size(); start += window) {
        double squares = 0;
        for (std::size_t i = start; i < start + window; ++i) squares += static_cast<double>(samples[i]) * samples[i];
        double meanSquare = squares / static_cast<double>(window);
        if (meanSquare > kSilentWindowMeanSquare) values.push_back(std::sqrt(meanSquare));
    }
    return values;
}

double percentileDb(std::span<const double> values, double high, double low) {
    std::vector<double> sorted;
    sorted.reserve(values.size());
    for (double v : values) {
        if (std::isfinite(v)) sorted.push_back(v);
    }
    if (sorted.size() < 2) return 0;
    std::sort(sorted.begin(), sorted.end());
    const double last = static_cast<double>(sorted.size() - 1);
    auto at = [&](double quantile) {
        double position = std::clamp(std::isnan(quantile) ? 0.0 : last * quantile, 0.0, last);
        return sorted[static_cast<std::size_t>(position)];
    };
    return std::clamp(decibels(at(high)) - decibels(at(low)), 0.0, kMaxDynamicRangeDb);
}

SpectralSummary spectralSummary(std::span<const float> samples, double sampleRate) {
    SpectralSummary summary;
    if (samples.size() < kSpectrumLength) return summary;
    analysis::RealDft dft(kSpectrumLength);
    if (!dft.valid()) return summary;
    const std::vector<float> window = analysis::hannWindow(kSpectrumLength);
    const std::size_t hop = std::max(kMinSpectrumHop, (samples.size() - kSpectrumLength) / kSpectrumFrameSpread);
    const double limit = std::min(sampleRate / 2.0, kHighestHz);

    // Where each bin of 20 Hz…limit goes: its band (or none at 20 kHz
    // exactly) and its spectrogram cell on a log-frequency axis.
    struct Bin {
        std::size_t index;
        double frequency;
        int band;
        std::size_t cell;
    };
    std::vector<Bin> bins;
    const double logSpan = std::log(limit / kLowestHz);
    for (std::size_t k = 1; k < kSpectrumLength / 2; ++k) {
        double f = static_cast<double>(k) * sampleRate / static_cast<double>(kSpectrumLength);
        if (f < kLowestHz || f > limit) continue;
        int band = -1;
        for (std::size_t b = 0; b < kBands.size(); ++b) {
            if (f >= kBands[b].low && f < kBands[b].high) band = static_cast<int>(b);
        }
        double position = std::log(f / kLowestHz) / logSpan * static_cast<double>(kSpectrogramCells);
        if (!std::isfinite(position)) position = 0;
        position = std::clamp(std::trunc(position), 0.0, static_cast<double>(kSpectrogramCells - 1));
        bins.push_back({k, f, band, static_cast<std::size_t>(position)});
    }

    std::array<double, kBands.size()> energy{};
    double weightedSum = 0, magnitudeSum = 0;
    float* input = dft.input();
    const std::complex<float>* spectrum = dft.output();
    for (std::size_t start = 0; start + kSpectrumLength <= samples.size(); start += hop) {
        for (std::size_t i = 0; i < kSpectrumLength; ++i) input[i] = samples[start + i] * window[i];
        dft.run();
        std::vector<double> row(kSpectrogramCells, 0.0);
        for (const Bin& bin : bins) {
            double re = spectrum[bin.index].real();
            double im = spectrum[bin.index].imag();
            double power = re * re + im * im;
            if (!std::isfinite(power)) continue;
            if (bin.band >= 0) energy[static_cast<std::size_t>(bin.band)] += power;
            double magnitude = std::sqrt(power);
            weightedSum += bin.frequency * magnitude;
            magnitudeSum += magnitude;
            row[bin.cell] += power;
        }
        summary.spectrogram.push_back(std::move(row));
    }

    double total = 0;
    for (double e : energy) total += e;
    for (std::size_t b = 0; b < kBands.size(); ++b) {
        summary.bands[kBands[b].name] = total > 0 ? energy[b] * 100.0 / total : 0.0;
    }
    summary.centroid = magnitudeSum > 0 ? weightedSum / magnitudeSum : 0.0;

    double loudest = 0;
    for (const auto& row : summary.spectrogram) {
        for (double v : row) loudest = std::max(loudest, v);
    }
    for (auto& row : summary.spectrogram) {
        for (double& v : row) {
            v = (loudest <= 0 || v <= 0) ? 0.0
                                         : std::clamp(10.0 * std::log10(v / loudest) / kSpectrogramRangeDb + 1.0, 0.0, 1.0);
        }
    }
    return summary;
}

StereoSummary stereoSummary(std::span<const std::span<const float>> channels) {
    StereoSummary summary;
    if (channels.size() < 2 || channels[0].size() != channels[1].size()) return summary;
    std::span<const float> left = channels[0], right = channels[1];
    // Frames holding a NaN or an infinity are left out, as they are from the
    // levels: one bad sample must not turn the whole image into NaN.
    // Four lanes per sum, so that the double-precision sums do not wait on
    // one another; a frame that is left out adds zero to every lane.
    constexpr std::size_t kLanes = 4;
    const std::size_t frames = left.size();
    auto usable = [&](std::size_t i) { return std::isfinite(left[i]) && std::isfinite(right[i]); };
    std::array<double, kLanes> sumLeft{}, sumRight{};
    std::array<std::size_t, kLanes> counted{};
    auto first = [&](std::size_t lane, std::size_t frame) {
        const bool ok = usable(frame);
        sumLeft[lane] += ok ? static_cast<double>(left[frame]) : 0.0;
        sumRight[lane] += ok ? static_cast<double>(right[frame]) : 0.0;
        counted[lane] += ok;
    };
    std::size_t i = 0;
    for (; i + kLanes <= frames; i += kLanes) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) first(lane, i + lane);
    }
    for (; i < frames; ++i) first(0, i);
    const auto n = static_cast<double>(counted[0] + counted[1] + counted[2] + counted[3]);
    const double meanLeft = n > 0 ? (sumLeft[0] + sumLeft[1] + sumLeft[2] + sumLeft[3]) / n : 0.0;
    const double meanRight = n > 0 ? (sumRight[0] + sumRight[1] + sumRight[2] + sumRight[3]) / n : 0.0;

    std::array<double, kLanes> products{}, squaresLeft{}, squaresRight{}, mids{}, sides{};
    auto second = [&](std::size_t lane, std::size_t frame) {
        const bool ok = usable(frame);
        const double l = ok ? static_cast<double>(left[frame]) : 0.0, r = ok ? static_cast<double>(right[frame]) : 0.0;
        const double dl = ok ? l - meanLeft : 0.0, dr = ok ? r - meanRight : 0.0;
        const double mid = (l + r) / 2.0, side = (l - r) / 2.0;
        products[lane] += dl * dr;
        squaresLeft[lane] += dl * dl;
        squaresRight[lane] += dr * dr;
        mids[lane] += mid * mid;
        sides[lane] += side * side;
    };
    for (i = 0; i + kLanes <= frames; i += kLanes) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) second(lane, i + lane);
    }
    for (; i < frames; ++i) second(0, i);
    auto total = [](const std::array<double, kLanes>& lanes) { return lanes[0] + lanes[1] + lanes[2] + lanes[3]; };
    const double covariance = total(products), varianceLeft = total(squaresLeft), varianceRight = total(squaresRight);
    const double midEnergy = total(mids), sideEnergy = total(sides);
    const double scale = std::sqrt(varianceLeft * varianceRight);
    summary.correlation = scale <= 0 ? 1.0 : std::clamp(covariance / scale, -1.0, 1.0);
    summary.width = midEnergy > 0 ? std::min(std::sqrt(sideEnergy / midEnergy) * 100.0, kMaxCorrelationWidth) : 0.0;
    return summary;
}

std::vector<double> waveform(std::span<const float> samples, std::size_t points) {
    std::vector<double> peaks;
    if (samples.empty() || points == 0) return peaks;
    const std::size_t count = samples.size();
    const std::size_t bucket = count < points ? 1 : count / points;
    peaks.reserve(points);
    for (std::size_t i = 0; i < points; ++i) {
        std::size_t start = i * bucket;
        double peak = 0;
        if (start < count) {
            std::size_t end = std::min(start + bucket, count);
            float highest = 0;
            for (std::size_t j = start; j < end; ++j) {
                // A non-finite sample has no height to draw.
                const float magnitude = std::fabs(samples[j]);
                highest = magnitude <= std::numeric_limits<float>::max() ? std::max(highest, magnitude) : highest;
            }
            peak = highest;
        }
        peaks.push_back(peak);
    }
    return peaks;
}

LoudnessSummary loudness(std::span<const std::span<const float>> channels, double sampleRate) {
    analysis::LoudnessMeter meter(sampleRate, channels.size());
    meter.add(channels);
    return meter.summary();
}

AudioMeasurement analyze(const std::filesystem::path& file, double transposeSemitones, double startSeconds,
                         std::optional<double> durationSeconds) {
    auto& cache = analysis::sharedAudioCache();
    analysis::AudioCacheKey key = analysis::makeCacheKey(file, transposeSemitones, startSeconds, durationSeconds);
    if (auto hit = cache.find(key)) return std::move(*hit);
    AudioMeasurement measurement;
    try {
        analysis::AudioSource source = analysis::AudioSource::openFile(file);
        measurement = analysis::measureSource(source, transposeSemitones, startSeconds, durationSeconds);
    } catch (const analysis::DecodeError& error) {
        fail(measurementCase(error.kind));
    }
    cache.insert(key, measurement);
    return measurement;
}

}  // namespace LocalAudioAnalyzer

namespace analysis {

namespace {

// Peak, sums and counts over the finite samples. Four independent lanes keep
// the double-precision sums from waiting on one another; a non-finite
// sample contributes nothing to any lane.
class Levels {
public:
    void add(std::span<const float> samples) {
        const std::size_t n = samples.size();
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            for (std::size_t lane = 0; lane < kLanes; ++lane) take(lane, samples[i + lane]);
        }
        for (; i < n; ++i) take(0, samples[i]);
    }
    std::size_t finite() const { return total(finite_); }
    std::size_t clipped() const { return total(clipped_); }
    double peak() const { return *std::max_element(peak_.begin(), peak_.end()); }
    double squares() const { return total(squares_); }
    double sum() const { return total(sum_); }

private:
    static constexpr std::size_t kLanes = 4;

    void take(std::size_t lane, float sample) {
        const bool usable = std::isfinite(sample);
        const double x = usable ? static_cast<double>(sample) : 0.0;
        const double magnitude = std::fabs(x);
        finite_[lane] += usable;
        clipped_[lane] += magnitude >= kClipLevel;
        peak_[lane] = std::max(peak_[lane], magnitude);
        squares_[lane] += x * x;
        sum_[lane] += x;
    }
    template <typename T>
    static T total(const std::array<T, kLanes>& lanes) {
        T result{};
        for (T value : lanes) result += value;
        return result;
    }

    std::array<std::size_t, kLanes> finite_{}, clipped_{};
    std::array<double, kLanes> peak_{}, squares_{}, sum_{};
};

}  // namespace

Samples mixToMono(Channels&& channels) {
    if (channels.empty()) return {};
    Samples mono = std::move(channels[0]);
    if (channels.size() == 1) return mono;
    const auto count = static_cast<float>(channels.size());
    for (std::size_t i = 0; i < mono.size(); ++i) {
        float sum = mono[i];
        for (std::size_t c = 1; c < channels.size(); ++c) sum += channels[c][i];
        mono[i] = sum / count;
    }
    channels.clear();
    return mono;
}

AudioMeasurement measureSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds) {
    const double sampleRate = source.sampleRate();
    const std::int64_t fileFrames = source.frames();
    Excerpt excerpt = planExcerpt(fileFrames, sampleRate, startSeconds, durationSeconds, kMaxSeconds);
    if (excerpt.frameCount < kMinFrames ||
        excerpt.frameCount > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())) {
        fail(AudioMeasurementErrorCase::insufficientSignal);
    }
    Channels channels;
    try {
        channels = source.read(excerpt.firstFrame, excerpt.frameCount);
    } catch (const std::bad_alloc&) {
        fail(AudioMeasurementErrorCase::insufficientSignal);
    }
    const std::size_t frames = channels.empty() ? 0 : channels[0].size();
    if (frames < static_cast<std::size_t>(kMinFrames)) fail(AudioMeasurementErrorCase::insufficientSignal);

    // Levels over the finite samples only, summed in double precision.
    Levels levels;
    for (const auto& channel : channels) levels.add(channel);
    const std::size_t finite = levels.finite();
    const std::size_t clipped = levels.clipped();
    const double peak = levels.peak(), squares = levels.squares(), sum = levels.sum();
    if (finite == 0) fail(AudioMeasurementErrorCase::insufficientSignal);
    const double n = static_cast<double>(finite);
    const double rms = std::sqrt(squares / n);
    if (peak <= kPeakFloor || rms <= kRmsFloor) fail(AudioMeasurementErrorCase::insufficientSignal);

    AudioMeasurement m;
    m.analyzedSeconds = static_cast<double>(frames) / sampleRate;
    m.sourceDurationSeconds = static_cast<double>(fileFrames) / sampleRate;
    m.sampleRate = sampleRate;
    m.channelCount = source.channelCount();
    m.dcOffset = sum / n;
    m.clippedSamplePercent = static_cast<double>(clipped) * 100.0 / n;

    std::vector<std::span<const float>> views(channels.begin(), channels.end());
    LocalAudioAnalyzer::StereoSummary stereo = LocalAudioAnalyzer::stereoSummary(views);
    m.stereoCorrelation = stereo.correlation;
    m.stereoWidthPercent = stereo.width;

    LocalAudioAnalyzer::LoudnessSummary loudness = LocalAudioAnalyzer::loudness(views, sampleRate);
    m.integratedLufs = loudness.integratedLufs;
    m.loudnessRangeLu = loudness.loudnessRangeLu;
    m.shortTermLufsMax = loudness.shortTermLufsMax;
    m.momentaryLufsMax = loudness.momentaryLufsMax;
    m.truePeakDbTP = loudness.truePeakDbTP;
    m.loudnessCurve = std::move(loudness.loudnessCurve);

    const Samples mono = mixToMono(std::move(channels));
    std::vector<double> shortTerm = LocalAudioAnalyzer::shortTermRMS(mono, sampleRate);
    m.dynamicRangeDb = LocalAudioAnalyzer::percentileDb(shortTerm, kHighPercentile, kLowPercentile);

    LocalAudioAnalyzer::SpectralSummary spectral = LocalAudioAnalyzer::spectralSummary(mono, sampleRate);
    m.spectralCentroidHz = spectral.centroid;
    m.bandEnergyPercent = std::move(spectral.bands);
    m.spectrogram = std::move(spectral.spectrogram);
    m.waveform = LocalAudioAnalyzer::waveform(mono, kWaveformPoints);

    if (auto detected = keyOfMonoExcerpt(mono, sampleRate, fileFrames, excerpt.firstFrame, transposeSemitones)) {
        m.key = detected->key;
        m.keyConfidence = detected->confidence;
    }

    m.samplePeakDbFS = LocalAudioAnalyzer::decibels(peak);
    m.rmsDbFS = LocalAudioAnalyzer::decibels(rms);
    m.crestFactorDb = std::max(m.samplePeakDbFS - m.rmsDbFS, 0.0);
    return m;
}

}  // namespace analysis

}  // namespace vantorel
