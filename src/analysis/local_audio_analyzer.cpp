#include "analysis/local_audio_analyzer.h"

#include "analysis/analysis_pipeline.h"
#include "analysis/audio_cache.h"
#include "analysis/dft.h"
#include "analysis/lanes.h"
#include "analysis/loudness_meter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <system_error>
#include <thread>

namespace vantorel {

namespace {

namespace lanes = analysis::lanes;

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


// Each accumulator below is fed the excerpt block by block and gives exactly
// the figures its whole-signal form gave: sums run in the same order, and the
// blocks are cut on multiples of four frames so that the four-lane sums see
// every sample in the same lane.

// Whether no sample is infinite or NaN: then the sums below need not test
// each one (decoded PCM never holds either).
bool allFinite(std::span<const float> samples) {
    return lanes::allWithin(samples, std::numeric_limits<float>::max());
}

// RMS of consecutive windows. Each window's sum of squares is kept in four
// lanes (sample p of the window in lane p mod 4), which do not wait on one
// another; where a block ends inside a window changes nothing.
class ShortTermStream {
public:
    explicit ShortTermStream(double sampleRate) {
        window_ = static_cast<std::size_t>(std::max(sampleRate * kShortTermSeconds, 0.0));
        if (window_ <= kMinShortTermWindow) window_ = kMinShortTermWindow;
    }
    void add(std::span<const float> samples) {
        std::size_t i = 0;
        while (i < samples.size()) {
            const std::size_t take = std::min(samples.size() - i, window_ - filled_);
            const float* x = samples.data() + i;
            std::array<lanes::Doubles, 2> squares = squares_;  // in registers
            auto addOne = [&](std::size_t position, float sample) {
                const std::size_t lane = position % kLanes;
                squares[lane / 2][lane % 2] += static_cast<double>(sample) * sample;
            };
            std::size_t j = 0;
            for (; j < take && (filled_ + j) % kLanes != 0; ++j) addOne(filled_ + j, x[j]);
            for (; j + kLanes <= take; j += kLanes) {
                const lanes::Floats v = lanes::load(x + j);
                const lanes::Doubles low = lanes::lowHalf(v), high = lanes::highHalf(v);
                squares[0] += low * low;
                squares[1] += high * high;
            }
            for (; j < take; ++j) addOne(filled_ + j, x[j]);
            squares_ = squares;
            i += take;
            filled_ += take;
            if (filled_ == window_) {
                const double sum = (squares_[0][0] + squares_[0][1]) + (squares_[1][0] + squares_[1][1]);
                const double meanSquare = sum / static_cast<double>(window_);
                if (meanSquare > kSilentWindowMeanSquare) values_.push_back(std::sqrt(meanSquare));
                squares_ = {};
                filled_ = 0;
            }
        }
    }
    std::vector<double>& values() { return values_; }

private:
    static constexpr std::size_t kLanes = 4;

    std::size_t window_ = kMinShortTermWindow;
    std::size_t filled_ = 0;
    std::array<lanes::Doubles, 2> squares_{};
    std::vector<double> values_;
};

// The largest finite |x| of each of `points` equal buckets of `total`
// samples; samples past the last whole bucket are not drawn.
class WaveformStream {
public:
    WaveformStream(std::size_t total, std::size_t points)
        : bucket_(total < points ? 1 : total / points), highest_(total == 0 ? 0 : points, 0.0f) {}
    void add(std::span<const float> samples) {
        std::size_t i = 0;
        while (i < samples.size()) {
            const std::size_t index = position_ / bucket_;
            if (index >= highest_.size()) break;
            const std::size_t take = std::min(samples.size() - i, (index + 1) * bucket_ - position_);
            // A non-finite sample has no height to draw. The largest of
            // magnitudes is the same whatever order they are compared in.
            constexpr float kLargest = std::numeric_limits<float>::max();
            lanes::Floats lanesHighest{};
            std::size_t j = i;
            for (; j + lanes::kFloats <= i + take; j += lanes::kFloats) {
                const lanes::Floats magnitude = lanes::magnitude(lanes::load(samples.data() + j));
                lanesHighest = lanes::larger(lanesHighest, lanes::keep(magnitude <= kLargest, magnitude));
            }
            float highest = std::max(highest_[index], lanes::largestOf(lanesHighest));
            for (; j < i + take; ++j) {
                const float magnitude = std::fabs(samples[j]);
                highest = magnitude <= kLargest ? std::max(highest, magnitude) : highest;
            }
            highest_[index] = highest;
            i += take;
            position_ += take;
        }
    }
    std::vector<double> peaks() const { return {highest_.begin(), highest_.end()}; }

private:
    std::size_t bucket_;
    std::size_t position_ = 0;
    std::vector<float> highest_;
};

// Band shares, centroid and spectrogram of about 73 Hann-windowed spectra
// spread over `total` samples.
class SpectrumStream {
public:
    SpectrumStream(double sampleRate, std::size_t total)
        : frames_(kSpectrumLength,
                  std::max(kMinSpectrumHop, (std::max(total, kSpectrumLength) - kSpectrumLength) / kSpectrumFrameSpread),
                  total) {
        if (total < kSpectrumLength) return;
        dft_ = std::make_unique<analysis::RealDft>(kSpectrumLength);
        if (!dft_->valid()) {
            dft_.reset();
            return;
        }
        window_ = analysis::hannWindow(kSpectrumLength);
        const double limit = std::min(sampleRate / 2.0, kHighestHz);
        // Where each bin of 20 Hz…limit goes: its band (or none at 20 kHz
        // exactly) and its spectrogram cell on a log-frequency axis.
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
            bins_.push_back({k, f, band, static_cast<std::size_t>(position)});
        }
    }

    void add(std::span<const float> samples) {
        if (dft_) frames_.add(samples, [this](const float* frame) { transform(frame); });
    }

    LocalAudioAnalyzer::SpectralSummary summary() {
        LocalAudioAnalyzer::SpectralSummary summary;
        if (!dft_) return summary;
        double total = 0;
        for (double e : energy_) total += e;
        for (std::size_t b = 0; b < kBands.size(); ++b) {
            summary.bands[kBands[b].name] = total > 0 ? energy_[b] * 100.0 / total : 0.0;
        }
        summary.centroid = magnitudeSum_ > 0 ? weightedSum_ / magnitudeSum_ : 0.0;
        double loudest = 0;
        for (const auto& row : rows_) {
            for (double v : row) loudest = std::max(loudest, v);
        }
        for (auto& row : rows_) {
            for (double& v : row) {
                v = (loudest <= 0 || v <= 0)
                        ? 0.0
                        : std::clamp(10.0 * std::log10(v / loudest) / kSpectrogramRangeDb + 1.0, 0.0, 1.0);
            }
        }
        summary.spectrogram = std::move(rows_);
        return summary;
    }

private:
    struct Bin {
        std::size_t index;
        double frequency;
        int band;
        std::size_t cell;
    };

    void transform(const float* frame) {
        float* input = dft_->input();
        for (std::size_t i = 0; i < kSpectrumLength; ++i) input[i] = frame[i] * window_[i];
        dft_->run();
        const std::complex<float>* spectrum = dft_->output();
        std::vector<double> row(kSpectrogramCells, 0.0);
        for (const Bin& bin : bins_) {
            double re = spectrum[bin.index].real();
            double im = spectrum[bin.index].imag();
            double power = re * re + im * im;
            if (!std::isfinite(power)) continue;
            if (bin.band >= 0) energy_[static_cast<std::size_t>(bin.band)] += power;
            double magnitude = std::sqrt(power);
            weightedSum_ += bin.frequency * magnitude;
            magnitudeSum_ += magnitude;
            row[bin.cell] += power;
        }
        rows_.push_back(std::move(row));
    }

    analysis::FrameStream frames_;
    std::unique_ptr<analysis::RealDft> dft_;
    std::vector<float> window_;
    std::vector<Bin> bins_;
    std::array<double, kBands.size()> energy_{};
    double weightedSum_ = 0, magnitudeSum_ = 0;
    std::vector<std::vector<double>> rows_;
};

// Peak, sums and counts over the finite samples. Four independent lanes keep
// the double-precision sums from waiting on one another (sample i goes to
// lane i mod 4: lanes 0, 1 in the first vector of a pair, 2, 3 in the
// second); a non-finite sample contributes nothing to any lane.
class Levels {
public:
    friend class StereoStream;

    // `finite`: no sample is infinite or NaN.
    void add(std::span<const float> samples, bool finite) {
        if (finite) {
            addBlock<false>(samples);
        } else {
            addBlock<true>(samples);
        }
    }
    std::size_t finite() const { return static_cast<std::size_t>(sums_.finite[0] + sums_.finite[1]); }
    std::size_t clipped() const { return static_cast<std::size_t>(sums_.clipped[0] + sums_.clipped[1]); }
    double peak() const { return std::max(sums_.peak[0], sums_.peak[1]); }
    double squares() const { return total(sums_.squares); }
    double sum() const { return total(sums_.sum); }

private:
    static constexpr std::size_t kLanes = 4;
    // The counts and the peak come out the same whatever lane a sample
    // went to, so all four lanes share one vector of each.
    struct Sums {
        lanes::DoubleMask finite{}, clipped{};
        lanes::Doubles peak{};
        std::array<lanes::Doubles, 2> squares{}, sum{};
    };

    template <bool Checked>
    void addBlock(std::span<const float> samples) {
        // In locals, which the compiler keeps in registers.
        Sums sums = sums_;
        const std::size_t n = samples.size();
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            const lanes::Floats x = lanes::load(samples.data() + i);
            take<Checked>(sums, 0, lanes::lowHalf(x));
            take<Checked>(sums, 1, lanes::highHalf(x));
        }
        if constexpr (!Checked) sums.finite[0] += static_cast<std::int64_t>(i);
        for (; i < n; ++i) {
            // The last few, on lane 0.
            const bool usable = std::isfinite(samples[i]);
            const double x = usable ? static_cast<double>(samples[i]) : 0.0;
            const double magnitude = std::fabs(x);
            sums.finite[0] += usable;
            sums.clipped[0] += magnitude >= kClipLevel;
            sums.peak[0] = std::max(sums.peak[0], magnitude);
            sums.squares[0][0] += x * x;
            sums.sum[0][0] += x;
        }
        sums_ = sums;
    }

    // Without `Checked`, every sample is finite and the caller counts them.
    template <bool Checked>
    static void take(Sums& sums, std::size_t half, lanes::Doubles sample) {
        lanes::Doubles x = sample;
        if constexpr (Checked) {
            const lanes::DoubleMask usable = lanes::magnitude(sample) <= std::numeric_limits<double>::max();
            x = lanes::keep(usable, sample);
            sums.finite -= usable;  // a set mask is −1
        }
        const lanes::Doubles magnitude = lanes::magnitude(x);
        sums.clipped -= magnitude >= kClipLevel;
        sums.peak = lanes::larger(sums.peak, magnitude);
        sums.squares[half] += x * x;
        sums.sum[half] += x;
    }
    static double total(const std::array<lanes::Doubles, 2>& pair) {
        double result = 0;
        for (const lanes::Doubles& half : pair) result += half[0], result += half[1];
        return result;
    }

    Sums sums_;
};

// Correlation and side/mid width of two channels. Frames holding a NaN or
// an infinity are left out, as they are from the levels: one bad sample must
// not turn the whole image into NaN. Four lanes per sum, so that the
// double-precision sums do not wait on one another; a frame that is left out
// adds zero to every lane. The covariance is taken about each block's own
// means and the blocks merged (Chan, Golub and LeVeque), which is as exact
// as two passes over the whole excerpt without holding it.
class StereoStream {
public:
    // `finite`: neither channel holds an infinity or a NaN.
    void add(std::span<const float> left, std::span<const float> right, bool finite) {
        if (finite) {
            addBlock<false>(left, right);
        } else {
            addBlock<true>(left, right);
        }
    }

    // The image and both channels' levels in two readings of the frames
    // (the levels of one channel in each, beside the image's own two), which
    // none may hold an infinity or a NaN: the figures are those of add() and
    // Levels::add(). False, having changed nothing, when one does.
    bool addWithLevels(std::span<const float> left, std::span<const float> right, Levels& leftLevels,
                       Levels& rightLevels) {
        const std::size_t frames = std::min(left.size(), right.size());
        Levels::Sums leftSums = leftLevels.sums_;
        Pair blockLeft{}, blockRight{}, mids = mids_, sides = sides_;
        Counts blockCounted{};
        std::size_t i = 0;
        for (; i + kLanes <= frames; i += kLanes) {
            const lanes::Floats l = lanes::load(left.data() + i), r = lanes::load(right.data() + i);
            const lanes::Doubles lefts[2] = {lanes::lowHalf(l), lanes::highHalf(l)};
            const lanes::Doubles rights[2] = {lanes::lowHalf(r), lanes::highHalf(r)};
            for (std::size_t half = 0; half < 2; ++half) {
                Levels::take<false>(leftSums, half, lefts[half]);
                first<false>(blockLeft[half], blockRight[half], blockCounted[half], mids[half], sides[half],
                             lefts[half], rights[half]);
            }
        }
        // A sum of finite samples (or of their squares) stays finite; one
        // infinity or NaN makes it infinite or NaN.
        const lanes::Doubles seen = leftSums.squares[0] + leftSums.squares[1] + blockRight[0] + blockRight[1];
        const std::span<const float> leftTail = left.subspan(i, frames - i), rightTail = right.subspan(i, frames - i);
        if (!std::isfinite(seen[0]) || !std::isfinite(seen[1]) || !allFinite(leftTail) || !allFinite(rightTail)) {
            return false;
        }
        blockCounted[0] += lanes::DoubleMask{static_cast<std::int64_t>(i), 0};
        leftSums.finite[0] += static_cast<std::int64_t>(i);
        leftLevels.sums_ = leftSums;
        leftLevels.add(leftTail, true);
        firstTail(leftTail, rightTail, blockLeft, blockRight, blockCounted, mids, sides);
        mids_ = mids;
        sides_ = sides;
        Levels::Sums rightSums = rightLevels.sums_;
        secondPass<false>(left.first(frames), right.first(frames), blockLeft, blockRight, blockCounted,
                          [&](std::size_t half, lanes::Doubles r) { Levels::take<false>(rightSums, half, r); });
        rightSums.finite[0] += static_cast<std::int64_t>(i);
        rightLevels.sums_ = rightSums;
        rightLevels.add(rightTail, true);
        return true;
    }

    LocalAudioAnalyzer::StereoSummary summary() const {
        LocalAudioAnalyzer::StereoSummary summary;
        const double midEnergy = total(mids_), sideEnergy = total(sides_);
        const double scale = std::sqrt(varianceLeft_ * varianceRight_);
        summary.correlation = scale <= 0 ? 1.0 : std::clamp(covariance_ / scale, -1.0, 1.0);
        summary.width = midEnergy > 0 ? std::min(std::sqrt(sideEnergy / midEnergy) * 100.0, kMaxCorrelationWidth) : 0.0;
        return summary;
    }

private:
    // Frame i goes to lane i mod 4: lanes 0, 1 in the first vector of a
    // pair, 2, 3 in the second.
    static constexpr std::size_t kLanes = 4;
    using Pair = std::array<lanes::Doubles, 2>;
    using Counts = std::array<lanes::DoubleMask, 2>;

    // `Checked`: frames holding a non-finite sample are looked for and left
    // out; without it, every frame counts.
    template <bool Checked>
    void addBlock(std::span<const float> left, std::span<const float> right) {
        const std::size_t frames = std::min(left.size(), right.size());
        // Sums in locals, which the compiler keeps in registers.
        Pair blockLeft{}, blockRight{}, mids = mids_, sides = sides_;
        Counts blockCounted{};
        std::size_t i = 0;
        for (; i + kLanes <= frames; i += kLanes) {
            const lanes::Floats l = lanes::load(left.data() + i), r = lanes::load(right.data() + i);
            first<Checked>(blockLeft[0], blockRight[0], blockCounted[0], mids[0], sides[0], lanes::lowHalf(l),
                           lanes::lowHalf(r));
            first<Checked>(blockLeft[1], blockRight[1], blockCounted[1], mids[1], sides[1], lanes::highHalf(l),
                           lanes::highHalf(r));
        }
        if constexpr (!Checked) blockCounted[0] += lanes::DoubleMask{static_cast<std::int64_t>(i), 0};
        firstTail(left.subspan(i, frames - i), right.subspan(i, frames - i), blockLeft, blockRight, blockCounted, mids,
                  sides);
        mids_ = mids;
        sides_ = sides;
        secondPass<Checked>(left.first(frames), right.first(frames), blockLeft, blockRight, blockCounted,
                            [](std::size_t, lanes::Doubles) {});
    }

    // The last few frames of a block, on lane 0.
    static void firstTail(std::span<const float> left, std::span<const float> right, Pair& blockLeft,
                          Pair& blockRight, Counts& blockCounted, Pair& mids, Pair& sides) {
        for (std::size_t i = 0; i < left.size(); ++i) {
            const bool ok = std::isfinite(left[i]) && std::isfinite(right[i]);
            const double l = ok ? static_cast<double>(left[i]) : 0.0, r = ok ? static_cast<double>(right[i]) : 0.0;
            blockLeft[0][0] += l;
            blockRight[0][0] += r;
            blockCounted[0][0] += ok;
            const double mid = (l + r) / 2.0, side = (l - r) / 2.0;
            mids[0][0] += mid * mid;
            sides[0][0] += side * side;
        }
    }

    // The block's covariance about its own means, merged into the excerpt's;
    // also(half, right) sees each half-vector of the right channel's whole
    // groups of four frames, in order.
    template <bool Checked, typename Also>
    void secondPass(std::span<const float> left, std::span<const float> right, const Pair& blockLeft,
                    const Pair& blockRight, const Counts& blockCounted, Also&& also) {
        const std::size_t frames = left.size();
        const auto n = static_cast<double>(total(blockCounted));
        const double meanLeft = n == 0 ? 0.0 : total(blockLeft) / n, meanRight = n == 0 ? 0.0 : total(blockRight) / n;
        Pair products{}, squaresLeft{}, squaresRight{};
        std::size_t i = 0;
        for (; i + kLanes <= frames; i += kLanes) {
            const lanes::Floats l = lanes::load(left.data() + i), r = lanes::load(right.data() + i);
            const lanes::Doubles rights[2] = {lanes::lowHalf(r), lanes::highHalf(r)};
            second<Checked>(products[0], squaresLeft[0], squaresRight[0], lanes::lowHalf(l), rights[0], meanLeft,
                            meanRight);
            second<Checked>(products[1], squaresLeft[1], squaresRight[1], lanes::highHalf(l), rights[1], meanLeft,
                            meanRight);
            also(0, rights[0]);
            also(1, rights[1]);
        }
        if (n == 0) return;
        for (; i < frames; ++i) {
            const bool ok = std::isfinite(left[i]) && std::isfinite(right[i]);
            const double dl = ok ? static_cast<double>(left[i]) - meanLeft : 0.0;
            const double dr = ok ? static_cast<double>(right[i]) - meanRight : 0.0;
            products[0][0] += dl * dr;
            squaresLeft[0][0] += dl * dl;
            squaresRight[0][0] += dr * dr;
        }

        const double before = merged_, after = merged_ + n;
        const double deltaLeft = meanLeft - meanLeft_, deltaRight = meanRight - meanRight_;
        const double weight = before * n / after;
        covariance_ += total(products) + deltaLeft * deltaRight * weight;
        varianceLeft_ += total(squaresLeft) + deltaLeft * deltaLeft * weight;
        varianceRight_ += total(squaresRight) + deltaRight * deltaRight * weight;
        meanLeft_ += deltaLeft * n / after;
        meanRight_ += deltaRight * n / after;
        merged_ = after;
    }

    // Both finite: widened floats, whose magnitudes add up to a finite
    // double exactly when neither is infinite or NaN.
    template <bool Checked>
    static lanes::DoubleMask usable(lanes::Doubles l, lanes::Doubles r) {
        if constexpr (!Checked) return lanes::DoubleMask{} - 1;
        return lanes::magnitude(l) + lanes::magnitude(r) <= std::numeric_limits<double>::max();
    }
    template <bool Checked>
    static void first(lanes::Doubles& sumLeft, lanes::Doubles& sumRight, lanes::DoubleMask& counted,
                      lanes::Doubles& mids, lanes::Doubles& sides, lanes::Doubles left, lanes::Doubles right) {
        const lanes::DoubleMask ok = usable<Checked>(left, right);
        const lanes::Doubles l = lanes::keep(ok, left), r = lanes::keep(ok, right);
        sumLeft += l;
        sumRight += r;
        // A set mask is −1. Without `Checked` every frame counts, and the
        // caller counts them.
        if constexpr (Checked) counted -= ok;
        const lanes::Doubles mid = (l + r) / 2.0, side = (l - r) / 2.0;
        mids += mid * mid;
        sides += side * side;
    }
    template <bool Checked>
    static void second(lanes::Doubles& products, lanes::Doubles& squaresLeft, lanes::Doubles& squaresRight,
                       lanes::Doubles left, lanes::Doubles right, double meanLeft, double meanRight) {
        const lanes::DoubleMask ok = usable<Checked>(left, right);
        const lanes::Doubles dl = lanes::keep(ok, left - meanLeft);
        const lanes::Doubles dr = lanes::keep(ok, right - meanRight);
        products += dl * dr;
        squaresLeft += dl * dl;
        squaresRight += dr * dr;
    }
    static double total(const Pair& pair) { return pair[0][0] + pair[0][1] + pair[1][0] + pair[1][1]; }
    static std::size_t total(const Counts& pair) {
        return static_cast<std::size_t>(pair[0][0] + pair[0][1] + pair[1][0] + pair[1][1]);
    }

    Pair mids_{}, sides_{};
    double merged_ = 0, meanLeft_ = 0, meanRight_ = 0;
    double covariance_ = 0, varianceLeft_ = 0, varianceRight_ = 0;
};
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
    ShortTermStream stream(sampleRate);
    stream.add(samples);
    return std::move(stream.values());
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
    SpectrumStream stream(sampleRate, samples.size());
    stream.add(samples);
    return stream.summary();
}

StereoSummary stereoSummary(std::span<const std::span<const float>> channels) {
    if (channels.size() < 2 || channels[0].size() != channels[1].size()) return {};
    StereoStream stream;
    stream.add(channels[0], channels[1], allFinite(channels[0]) && allFinite(channels[1]));
    return stream.summary();
}

std::vector<double> waveform(std::span<const float> samples, std::size_t points) {
    if (samples.empty() || points == 0) return {};
    WaveformStream stream(samples.size(), points);
    stream.add(samples);
    return stream.peaks();
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

void mixChannels(std::span<const std::span<const float>> channels, float* mono) {
    if (channels.empty()) return;
    const std::size_t frames = channels[0].size();
    if (channels.size() == 1) {
        std::copy(channels[0].begin(), channels[0].end(), mono);
        return;
    }
    const auto count = static_cast<float>(channels.size());
    if (channels.size() == 2) {
        const float* left = channels[0].data();
        const float* right = channels[1].data();
        for (std::size_t i = 0; i < frames; ++i) mono[i] = (left[i] + right[i]) / count;
        return;
    }
    std::copy(channels[0].begin(), channels[0].end(), mono);
    for (std::size_t c = 1; c < channels.size(); ++c) {
        const float* samples = channels[c].data();
        for (std::size_t i = 0; i < frames; ++i) mono[i] += samples[i];
    }
    for (std::size_t i = 0; i < frames; ++i) mono[i] /= count;
}

namespace {

// Frames per decoded block: about this many, rounded to what the
// accumulators need to give whole-signal figures.
constexpr std::size_t kBlockFrames = 32768;
// Past this many samples a block is cut shorter, whatever the rounding (only
// absurd sample rates or channel counts get there).
constexpr std::size_t kMaxBlockSamples = std::size_t{1} << 18;
// Blocks in flight between the decoding and the second core.
constexpr std::size_t kBlocksInFlight = 3;

// A whole number of the loudness meter's 100 ms and of four frames (the
// lanes of the level and image sums).
std::size_t blockFrames(std::size_t subBlockFrames, std::size_t channels) {
    const std::size_t unit = subBlockFrames / std::gcd(subBlockFrames, std::size_t{4}) * 4;
    std::size_t frames = unit * std::max<std::size_t>(1, kBlockFrames / unit);
    if (frames > kMaxBlockSamples / channels) frames = std::max<std::size_t>(4, kMaxBlockSamples / channels / 4 * 4);
    return frames;
}

// One decoded block: its channels and their mono mix.
struct Block {
    std::vector<std::vector<float>> channels;
    std::vector<float*> targets;                // where each channel is decoded
    std::vector<std::span<const float>> views;  // the first `frames` of each channel
    std::vector<float> mono;
    std::size_t frames = 0;

    void resize(std::size_t count) {
        frames = count;
        for (std::size_t c = 0; c < channels.size(); ++c) views[c] = std::span<const float>(channels[c].data(), count);
    }
    std::span<const float> monoView() const { return {mono.data(), frames}; }
};

// Runs `work` on each block handed to it, in order, on a second thread while
// this one decodes the next; a few blocks circulate between the two, so the
// memory stays that of those blocks. Where no thread can be started, the
// work runs at once on the caller's.
class SecondCore {
public:
    SecondCore(std::size_t channels, std::size_t frames, std::function<void(Block&)> work)
        : work_(std::move(work)), blocks_(kBlocksInFlight) {
        for (Block& block : blocks_) {
            block.channels.assign(channels, std::vector<float>(frames));
            for (std::vector<float>& channel : block.channels) block.targets.push_back(channel.data());
            block.views.resize(channels);
            block.mono.resize(frames);
            free_.push_back(&block);
        }
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // Measured on this thread alone.
        }
    }
    SecondCore(const SecondCore&) = delete;
    SecondCore& operator=(const SecondCore&) = delete;
    ~SecondCore() { stop(true); }

    // A block free to be filled, once the second core has done with one.
    Block& take() {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return !free_.empty(); });
        Block* block = free_.back();
        free_.pop_back();
        return *block;
    }

    // A block taken and left unfilled.
    void putBack(Block& block) {
        {
            std::lock_guard guard(mutex_);
            free_.push_back(&block);
        }
        freed_.notify_one();
    }

    void hand(Block& block) {
        if (!thread_.joinable()) {
            work_(block);
            free_.push_back(&block);
            return;
        }
        {
            std::lock_guard guard(mutex_);
            queue_.push_back(&block);
        }
        queued_.notify_one();
    }

    // Waits for every block handed over; rethrows what the work threw.
    void finish() {
        stop(false);
        if (error_) std::rethrow_exception(error_);
    }

private:
    void stop(bool abandon) {
        if (!thread_.joinable()) return;
        {
            std::lock_guard guard(mutex_);
            closing_ = true;
            abandoned_ = abandon;
        }
        queued_.notify_one();
        thread_.join();
    }

    void run() {
        for (;;) {
            Block* block = nullptr;
            bool skip = false;
            {
                std::unique_lock lock(mutex_);
                queued_.wait(lock, [&] { return closing_ || !queue_.empty(); });
                if (queue_.empty()) return;
                block = queue_.front();
                queue_.pop_front();
                skip = abandoned_ || error_ != nullptr;
            }
            if (!skip) {
                try {
                    work_(*block);
                } catch (...) {
                    std::lock_guard guard(mutex_);
                    error_ = std::current_exception();
                }
            }
            {
                std::lock_guard guard(mutex_);
                free_.push_back(block);
            }
            freed_.notify_one();
        }
    }

    std::function<void(Block&)> work_;
    std::vector<Block> blocks_;
    std::mutex mutex_;
    std::condition_variable queued_, freed_;
    std::deque<Block*> queue_;
    std::vector<Block*> free_;
    std::exception_ptr error_;
    bool closing_ = false, abandoned_ = false;
    std::thread thread_;  // last: started once everything it reads exists
};

// Everything measured over one excerpt, fed as it decodes. `expected` is the
// excerpt's length, which the spectrum's hop and the waveform's buckets are
// cut from; the key reads the first `keyFrames` frames (none when 0).
class ExcerptPass {
public:
    ExcerptPass(double sampleRate, std::size_t channels, std::size_t expected, std::size_t keyFrames)
        : sampleRate_(sampleRate),
          levels_(channels),
          loudness_(sampleRate, channels),
          truePeak_(sampleRate, channels),
          shortTerm_(sampleRate),
          waveform_(expected, kWaveformPoints),
          expected_(expected),
          keyFrames_(keyFrames) {}

    // Decodes up to `expected` frames from `first`; returns the frames read.
    std::size_t run(AudioSource& source, std::int64_t first, std::size_t expected) {
        const std::size_t channels = levels_.size();
        const std::size_t frames = blockFrames(loudness_.subBlockFrames(), channels);
        // The decoding, the levels, the image and the K-weighting (whose
        // filters wait on their own last output, so cannot be hurried) on
        // this core; the mono mix and all that reads it, and the
        // oversampling, on the second: about as long.
        SecondCore second(channels, frames, [this](Block& block) {
            if (!spectrum_) {
                // Made here, beside the first decoding: planning their
                // transforms takes a few milliseconds.
                spectrum_.emplace(sampleRate_, expected_);
                if (keyFrames_ > 0) chroma_ = std::make_unique<ChromaStream>(sampleRate_, keyFrames_);
            }
            mixChannels(block.views, block.mono.data());
            truePeak_.addTruePeakOnly(block.views);
            shortTerm_.add(block.monoView());
            waveform_.add(block.monoView());
            spectrum_->add(block.monoView());
            if (chroma_) chroma_->add(block.monoView());
        });
        std::size_t read = 0;
        source.seek(first);
        while (read < expected) {
            const std::size_t want = std::min(expected - read, frames);
            Block& block = second.take();
            const auto got =
                static_cast<std::size_t>(source.readChannels(block.targets, static_cast<std::int64_t>(want)));
            if (got == 0) {
                second.putBack(block);
                break;
            }
            block.resize(got);
            measure(block);
            second.hand(block);
            read += got;
            if (got < want) break;
        }
        second.finish();
        return read;
    }

    // The measurement of `frames` frames read; throws insufficientSignal
    // when they hold too little signal.
    AudioMeasurement result(std::size_t frames, std::int64_t fileFrames, double transposeSemitones) {
        std::size_t finite = 0, clipped = 0;
        double peak = 0, squares = 0, sum = 0;
        for (const Levels& levels : levels_) {
            finite += levels.finite();
            clipped += levels.clipped();
            peak = std::max(peak, levels.peak());
            squares += levels.squares();
            sum += levels.sum();
        }
        if (finite == 0) fail(AudioMeasurementErrorCase::insufficientSignal);
        const double n = static_cast<double>(finite);
        const double rms = std::sqrt(squares / n);
        if (peak <= kPeakFloor || rms <= kRmsFloor) fail(AudioMeasurementErrorCase::insufficientSignal);

        AudioMeasurement m;
        m.analyzedSeconds = static_cast<double>(frames) / sampleRate_;
        m.sourceDurationSeconds = static_cast<double>(fileFrames) / sampleRate_;
        m.sampleRate = sampleRate_;
        m.channelCount = static_cast<int>(levels_.size());
        m.dcOffset = sum / n;
        m.clippedSamplePercent = static_cast<double>(clipped) * 100.0 / n;
        if (levels_.size() >= 2) {
            LocalAudioAnalyzer::StereoSummary stereo = stereo_.summary();
            m.stereoCorrelation = stereo.correlation;
            m.stereoWidthPercent = stereo.width;
        }

        loudness_.takeTruePeak(truePeak_);
        LocalAudioAnalyzer::LoudnessSummary loudness = loudness_.summary();
        m.integratedLufs = loudness.integratedLufs;
        m.loudnessRangeLu = loudness.loudnessRangeLu;
        m.shortTermLufsMax = loudness.shortTermLufsMax;
        m.momentaryLufsMax = loudness.momentaryLufsMax;
        m.truePeakDbTP = loudness.truePeakDbTP;
        m.loudnessCurve = std::move(loudness.loudnessCurve);

        m.dynamicRangeDb = LocalAudioAnalyzer::percentileDb(shortTerm_.values(), kHighPercentile, kLowPercentile);
        LocalAudioAnalyzer::SpectralSummary spectral =
            spectrum_ ? spectrum_->summary() : LocalAudioAnalyzer::SpectralSummary{};
        m.spectralCentroidHz = spectral.centroid;
        m.bandEnergyPercent = std::move(spectral.bands);
        m.spectrogram = std::move(spectral.spectrogram);
        m.waveform = waveform_.peaks();

        if (chroma_) {
            try {
                const MusicalKeyAnalyzer::Chroma chroma = chroma_->chroma();
                KeyDetection detected = MusicalKeyAnalyzer::detect(chroma, transposeSemitones,
                                                                   static_cast<double>(keyFrames_) / sampleRate_);
                m.key = std::move(detected.key);
                m.keyConfidence = detected.confidence;
            } catch (const KeyAnalysisError&) {
                // No key to tell.
            }
        }

        m.samplePeakDbFS = LocalAudioAnalyzer::decibels(peak);
        m.rmsDbFS = LocalAudioAnalyzer::decibels(rms);
        m.crestFactorDb = std::max(m.samplePeakDbFS - m.rmsDbFS, 0.0);
        // The oversampling filter clamps samples past 1e18 to keep its sums
        // finite; the peak it reports can never be under a sample it passes
        // through.
        if (m.truePeakDbTP && *m.truePeakDbTP < m.samplePeakDbFS) m.truePeakDbTP = m.samplePeakDbFS;
        return m;
    }

private:
    void measure(const Block& block) {
        std::size_t c = 0;
        if (block.views.size() >= 2 && stereo_.addWithLevels(block.views[0], block.views[1], levels_[0], levels_[1])) {
            c = 2;
        } else if (block.views.size() >= 2) {
            const bool finite = allFinite(block.views[0]) && allFinite(block.views[1]);
            stereo_.add(block.views[0], block.views[1], finite);
        }
        for (; c < levels_.size(); ++c) levels_[c].add(block.views[c], allFinite(block.views[c]));
        loudness_.addLoudnessOnly(block.views);
    }

    double sampleRate_;
    std::vector<Levels> levels_;  // one per channel
    StereoStream stereo_;
    LoudnessMeter loudness_;
    // Fed on the second core:
    LoudnessMeter truePeak_;
    ShortTermStream shortTerm_;
    WaveformStream waveform_;
    std::size_t expected_;
    std::size_t keyFrames_;
    std::optional<SpectrumStream> spectrum_;  // made with the first block
    std::unique_ptr<ChromaStream> chroma_;
};

}  // namespace

AudioMeasurement measureSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds) {
    const double sampleRate = source.sampleRate();
    const std::int64_t fileFrames = source.frames();
    const auto channels = static_cast<std::size_t>(source.channelCount());
    Excerpt excerpt = planExcerpt(fileFrames, sampleRate, startSeconds, durationSeconds, kMaxSeconds);
    if (excerpt.frameCount < kMinFrames ||
        excerpt.frameCount > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max()) ||
        excerpt.frameCount > AudioSource::maxExcerptSamples / static_cast<std::int64_t>(channels)) {
        fail(AudioMeasurementErrorCase::insufficientSignal);
    }
    auto expected = static_cast<std::size_t>(excerpt.frameCount);
    // The spectrum and the waveform are cut by the excerpt's length, known
    // only once decoded; when the data ends before the length the header
    // announced, the excerpt is measured again knowing its real length.
    for (int attempt = 0;; ++attempt) {
        const auto keyFrames = static_cast<std::size_t>(
            keyExcerptFrames(static_cast<std::int64_t>(expected), sampleRate, fileFrames, excerpt.firstFrame));
        ExcerptPass pass(sampleRate, channels, expected, keyFrames);
        std::size_t frames = 0;
        try {
            frames = pass.run(source, excerpt.firstFrame, expected);
        } catch (const std::bad_alloc&) {
            fail(AudioMeasurementErrorCase::insufficientSignal);
        }
        if (frames < static_cast<std::size_t>(kMinFrames)) fail(AudioMeasurementErrorCase::insufficientSignal);
        if (frames != expected && attempt == 0) {
            expected = frames;
            continue;
        }
        return pass.result(frames, fileFrames, transposeSemitones);
    }
}

}  // namespace analysis

}  // namespace vantorel
