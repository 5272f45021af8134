#include "analysis/loudness_meter.h"

#include "analysis/lanes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>

namespace vantorel::analysis {

namespace {

// BS.1770-4, 2.1: loudness = −0.691 + 10·log10(Σ weighted mean squares).
constexpr double kLoudnessOffset = -0.691;
// BS.1770-4 Annex 1: the K-weighting stages as analogue prototypes, so that
// they hold at any sample rate (at 48 kHz they give the coefficients of the
// recommendation's tables 1 and 2).
constexpr double kShelfHz = 1681.974450955533;
constexpr double kShelfGainDb = 3.999843853973347;
constexpr double kShelfQ = 0.7071752369554196;
constexpr double kShelfBandExponent = 0.4996667741545416;
constexpr double kHighPassHz = 38.13547087602444;
constexpr double kHighPassQ = 0.5003270373238773;

// BS.1770-4, 2.8: gating blocks of 400 ms stepped by 100 ms (75 % overlap);
// the meter keeps 100 ms sub-blocks and adds four of them.
constexpr double kSubBlockSeconds = 0.1;
constexpr std::size_t kSubBlocksPerGatingBlock = 4;
// EBU Tech 3341, 2.2: short-term loudness over 3 s, and Tech 3342, 3:
// computed ten times a second for the loudness range.
constexpr std::size_t kSubBlocksPerShortTerm = 30;
// BS.1770-4, 2.8: absolute gate −70 LUFS, relative gate −10 LU.
constexpr double kAbsoluteGateLufs = -70.0;
constexpr double kRelativeGateLu = -10.0;
// EBU Tech 3342, 3: loudness range gates at −70 LUFS and −20 LU, then the
// spread from the 10th to the 95th percentile.
constexpr double kRangeRelativeGateLu = -20.0;
constexpr double kRangeLowPercentile = 0.10;
constexpr double kRangeHighPercentile = 0.95;

// The plotted curve: one short-term value per second at most, 120 at most
// (as many as the waveform's points).
constexpr std::size_t kSubBlocksPerCurvePoint = 10;
constexpr std::size_t kMaxCurvePoints = 120;
constexpr double kCurveFloorLufs = -120.0;

// BS.1770-4 Annex 2: 4× oversampling below 96 kHz, 2× below 192 kHz. The
// interpolator is a Hann-windowed sinc of 49 taps whatever the factor (12
// per phase at 4×, as in the recommendation's example filter).
constexpr double kFourTimesBelowHz = 96000.0;
constexpr double kTwiceBelowHz = 192000.0;
constexpr std::size_t kInterpolatorSpan = 48;  // taps − 1
// Larger magnitudes are not audio; the interpolation runs in single
// precision and must stay finite.
constexpr float kLargestSample = 1e18f;
// The oversampling is skipped over any stretch of samples whose values
// cannot beat the true peak found so far. Written about the midpoint m of
// the lowest and highest sample it reads, with every sample within h of m,
// an interpolated value Σ c·x is m·Σ c + Σ c·(x − m), so its magnitude is
// at most |m|·|Σ c| + h·Σ |c|: close to the samples' own peak where they
// vary slowly, wherever a peak sits. Short stretches bound more tightly;
// a stretch's inputs also reach into the stretches before it (the filter's
// history). Single-precision rounding in the filter's sums adds at most a few
// parts in a million to a value; the margin keeps the bound above that, so
// skipping never changes the result.
constexpr std::size_t kStretch = 16;
constexpr std::size_t kMaxRunStretches = 32;  // filtered at once before the peak is compared again
constexpr double kBoundMargin = 1e-4;
static_assert(kStretch % lanes::kFloats == 0);

// BS.1770-4, table 3: L, R, C weigh 1.0, the surrounds 1.41, the LFE
// nothing. Files do not say which channel is which, so the usual WAV orders
// are assumed: L R Ls Rs for four channels, L R C Ls Rs for five, L R C LFE
// Ls Rs and further surrounds for six and more.
std::vector<double> channelWeights(std::size_t count) {
    constexpr double kSurround = 1.41;
    std::vector<double> weights(count, 1.0);
    if (count == 4) {
        weights[2] = weights[3] = kSurround;
    } else if (count == 5) {
        weights[3] = weights[4] = kSurround;
    } else if (count >= 6) {
        weights[3] = 0.0;
        for (std::size_t c = 4; c < count; ++c) weights[c] = kSurround;
    }
    return weights;
}

double loudnessOf(double meanSquare) { return kLoudnessOffset + 10.0 * std::log10(meanSquare); }

// Value at index round((n − 1) × q) of sorted values.
double percentileOf(const std::vector<double>& sorted, double quantile) {
    const double position = std::round(static_cast<double>(sorted.size() - 1) * quantile);
    return sorted[std::min(static_cast<std::size_t>(position), sorted.size() - 1)];
}

// The mean square of every window of `width` sub-blocks, one sub-block
// apart. Each window is summed afresh: a running sum would leave a residue of
// the loud part in the silence after it.
std::vector<double> windowMeans(const std::vector<double>& subBlocks, std::size_t width, double framesPerSubBlock) {
    std::vector<double> means;
    for (std::size_t j = 0; j + width <= subBlocks.size(); ++j) {
        double energy = 0;
        for (std::size_t k = 0; k < width; ++k) energy += subBlocks[j + k];
        means.push_back(energy / (framesPerSubBlock * static_cast<double>(width)));
    }
    return means;
}

// The loudness of the loudest window; nothing when every window is silent.
std::optional<double> loudestOf(const std::vector<double>& means) {
    double loudest = 0;
    for (double mean : means) loudest = std::max(loudest, mean);
    if (loudest > 0) return loudnessOf(loudest);
    return std::nullopt;
}

float finiteSample(float x) {
    if (!std::isfinite(x)) return 0.0f;
    return std::clamp(x, -kLargestSample, kLargestSample);
}

// Whether finiteSample leaves every sample as it is.
bool tame(std::span<const float> samples) { return lanes::allWithin(samples, kLargestSample); }

// finiteSample on every lane.
lanes::Floats finiteSamples(lanes::Floats x) {
    const lanes::Floats clamped =
        lanes::smaller(lanes::larger(x, lanes::splat(-kLargestSample)), lanes::splat(kLargestSample));
    return lanes::keep(lanes::magnitude(x) <= std::numeric_limits<float>::max(), clamped);
}

// The largest |interpolated value| of `count` input positions, `newest[i]`
// the newest sample of position i and the `Taps − 1` before it readable:
// each of the `Phases` phases sums coefficient × sample from the newest
// sample back, in single precision, `Vectors` vectors of positions at a
// time (enough independent sums to keep the adder busy).
template <std::size_t Phases, std::size_t Taps, std::size_t Vectors>
float interpolatedPeak(const float* newest, std::size_t count, const float* coefficients, float peak) {
    constexpr std::size_t width = Vectors * lanes::kFloats;
    lanes::Floats highest{};
    std::size_t i = 0;
    for (; i + width <= count; i += width) {
        lanes::Floats sums[Phases][Vectors] = {};
        for (std::size_t k = 0; k < Taps; ++k) {
            lanes::Floats x[Vectors];
            for (std::size_t v = 0; v < Vectors; ++v) x[v] = lanes::load(newest + i + v * lanes::kFloats - k);
            for (std::size_t p = 0; p < Phases; ++p) {
                const float c = coefficients[p * Taps + k];
                for (std::size_t v = 0; v < Vectors; ++v) sums[p][v] += c * x[v];
            }
        }
        for (std::size_t p = 0; p < Phases; ++p) {
            for (std::size_t v = 0; v < Vectors; ++v) highest = lanes::larger(highest, lanes::magnitude(sums[p][v]));
        }
    }
    peak = std::max(peak, lanes::largestOf(highest));
    for (; i < count; ++i) {
        for (std::size_t p = 0; p < Phases; ++p) {
            float sum = 0;
            for (std::size_t k = 0; k < Taps; ++k) sum += coefficients[p * Taps + k] * newest[i - k];
            peak = std::max(peak, std::fabs(sum));
        }
    }
    return peak;
}

}  // namespace

LoudnessMeter::LoudnessMeter(double sampleRate, std::size_t channelCount) {
    subBlockFrames_ = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(sampleRate * kSubBlockSeconds)));

    const double pi = std::numbers::pi;
    {
        const double k = std::tan(pi * kShelfHz / sampleRate);
        const double vh = std::pow(10.0, kShelfGainDb / 20.0);
        const double vb = std::pow(vh, kShelfBandExponent);
        const double a0 = 1.0 + k / kShelfQ + k * k;
        shelf_ = {(vh + vb * k / kShelfQ + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / kShelfQ + k * k) / a0,
                  2.0 * (k * k - 1.0) / a0, (1.0 - k / kShelfQ + k * k) / a0};
    }
    {
        const double k = std::tan(pi * kHighPassHz / sampleRate);
        const double a0 = 1.0 + k / kHighPassQ + k * k;
        highPass_ = {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / kHighPassQ + k * k) / a0};
    }

    factor_ = sampleRate < kFourTimesBelowHz ? 4 : sampleRate < kTwiceBelowHz ? 2 : 1;
    if (factor_ > 1) {
        taps_ = kInterpolatorSpan / factor_;
        const double centre = static_cast<double>(kInterpolatorSpan) / 2.0;
        auto prototype = [&](std::size_t n) {
            const double t = (static_cast<double>(n) - centre) / static_cast<double>(factor_);
            const double sinc = t == 0 ? 1.0 : std::sin(pi * t) / (pi * t);
            const double hann = 0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(n) / kInterpolatorSpan);
            return sinc * hann;
        };
        // Phase p turns x[m], x[m−1], … into the value p/factor of a sample
        // after x[m − taps/2]; its coefficients are stored newest sample
        // first.
        for (std::size_t p = 1; p < factor_; ++p) {
            double sum = 0, magnitudes = 0;
            for (std::size_t k = 0; k < taps_; ++k) {
                coefficients_.push_back(static_cast<float>(prototype(p + k * factor_)));
                sum += static_cast<double>(coefficients_.back());
                magnitudes += std::fabs(static_cast<double>(coefficients_.back()));
            }
            levelGain_ = std::max(levelGain_, std::fabs(sum) * (1.0 + kBoundMargin));
            spreadGain_ = std::max(spreadGain_, magnitudes * (1.0 + kBoundMargin));
        }
    }

    const std::vector<double> weights = channelWeights(channelCount);
    channels_.resize(channelCount);
    for (std::size_t c = 0; c < channelCount; ++c) {
        channels_[c].weight = weights[c];
        channels_[c].history.assign(taps_ > 0 ? taps_ - 1 : 0, 0.0f);
    }
}

void LoudnessMeter::add(std::span<const std::span<const float>> channels) {
    weigh(channels);
    interpolate(channels);
}

void LoudnessMeter::addLoudnessOnly(std::span<const std::span<const float>> channels) { weigh(channels); }

void LoudnessMeter::addTruePeakOnly(std::span<const std::span<const float>> channels) { interpolate(channels); }

void LoudnessMeter::takeTruePeak(const LoudnessMeter& other) { truePeak_ = std::max(truePeak_, other.truePeak_); }

void LoudnessMeter::weigh(std::span<const std::span<const float>> channels) {
    if (channels.empty() || channels.size() != channels_.size()) return;
    const std::size_t frames = channels[0].size();
    const std::size_t firstIndex = subBlocks_.size();
    const std::size_t completed = (partialFrames_ + frames) / subBlockFrames_;
    subBlocks_.resize(firstIndex + completed, 0.0);
    if (completed > 0) {
        subBlocks_[firstIndex] += partial_;
        partial_ = 0;
    }
    // Two channels at a time, one in each lane of a vector. Every 100 ms
    // still receives the first channel's energy before the second's, as
    // when the channels ran one after the other.
    std::size_t c = 0;
    for (; c + 2 <= channels.size(); c += 2) weighChannels<lanes::Doubles>(channels.subspan(c, 2), c, firstIndex);
    if (c < channels.size()) weighChannels<double>(channels.subspan(c, 1), c, firstIndex);
    partialFrames_ = (partialFrames_ + frames) % subBlockFrames_;
}

namespace {

// Each stage in direct form I, its sum ordered so that the one product
// that needs the stage's last output comes last: the loop then waits on one
// multiplication and one subtraction per sample and stage, and the stages
// and channels overlap. The high-pass's numerator is 1, −2, 1.
template <typename Value>
struct Weighting {
    struct Shelf {
        Value b0, b1, b2, a1, a2;
    };
    Value x1{}, x2{}, y1{}, y2{}, z1{}, z2{};

    Value next(Value x, const Shelf& shelf, Value highPassA1, Value highPassA2) {
        const Value y = shelf.b0 * x + shelf.b1 * x1 + shelf.b2 * x2 - shelf.a2 * y2 - shelf.a1 * y1;
        const Value z = y - 2.0 * y1 + y2 - highPassA2 * z2 - highPassA1 * z1;
        x2 = x1, x1 = x, y2 = y1, y1 = y, z2 = z1, z1 = z;
        return z;
    }
};

}  // namespace

template <typename Value>
void LoudnessMeter::weighChannels(std::span<const std::span<const float>> channels, std::size_t first,
                                  std::size_t firstIndex) {
    constexpr std::size_t count = sizeof(Value) / sizeof(double);
    const std::size_t frames = channels[0].size();
    auto gather = [&](double ChannelState::*field) {
        if constexpr (count == 1) {
            return channels_[first].*field;
        } else {
            return Value{channels_[first].*field, channels_[first + 1].*field};
        }
    };
    Weighting<Value> state{gather(&ChannelState::x1), gather(&ChannelState::x2), gather(&ChannelState::y1),
                           gather(&ChannelState::y2), gather(&ChannelState::z1), gather(&ChannelState::z2)};
    const Value weight = gather(&ChannelState::weight);
    // Each coefficient in every lane, read from memory as it is.
    const typename Weighting<Value>::Shelf shelf{Value{} + shelf_.b0, Value{} + shelf_.b1, Value{} + shelf_.b2,
                                                  Value{} + shelf_.a1, Value{} + shelf_.a2};
    const Value highPassA1 = Value{} + highPass_.a1, highPassA2 = Value{} + highPass_.a2;
    auto part = [](const Value& v, std::size_t k) {
        if constexpr (count == 1) {
            return v;
        } else {
            return v[k];
        }
    };

    Value energy{};
    std::size_t position = partialFrames_, index = firstIndex;
    auto take = [&](Value x) {
        const Value z = state.next(x, shelf, highPassA1, highPassA2);
        energy += z * z;
        if (++position == subBlockFrames_) {
            for (std::size_t k = 0; k < count; ++k) subBlocks_[index] += part(weight, k) * part(energy, k);
            energy = Value{};
            ++index;
            position = 0;
        }
    };
    std::size_t i = 0;
    if constexpr (count == 2) {
        // Four frames of both channels paired up at once (and made finite,
        // where a sample needs it).
        const float* left = channels[0].data();
        const float* right = channels[1].data();
        auto pairs = [&](auto prepare) {
            for (; i + lanes::kFloats <= frames; i += lanes::kFloats) {
                const lanes::Floats l = prepare(lanes::load(left + i)), r = prepare(lanes::load(right + i));
                const lanes::Floats low = __builtin_shufflevector(l, r, 0, 4, 1, 5);
                const lanes::Floats high = __builtin_shufflevector(l, r, 2, 6, 3, 7);
                take(lanes::lowHalf(low));
                take(lanes::highHalf(low));
                take(lanes::lowHalf(high));
                take(lanes::highHalf(high));
            }
        };
        if (tame(channels[0]) && tame(channels[1])) {
            pairs([](lanes::Floats x) { return x; });
        } else {
            pairs([](lanes::Floats x) { return finiteSamples(x); });
        }
        for (; i < frames; ++i) take(Value{finiteSample(left[i]), finiteSample(right[i])});
    } else {
        for (; i < frames; ++i) take(static_cast<double>(finiteSample(channels[0][i])));
    }

    for (std::size_t k = 0; k < count; ++k) {
        partial_ += part(weight, k) * part(energy, k);
        ChannelState& c = channels_[first + k];
        c.x1 = part(state.x1, k), c.x2 = part(state.x2, k), c.y1 = part(state.y1, k), c.y2 = part(state.y2, k);
        c.z1 = part(state.z1, k), c.z2 = part(state.z2, k);
    }
}

namespace {

// The lowest and highest of each stretch of `samples` into ranges[2s] and
// ranges[2s + 1]; false, leaving them unusable, when a sample is NaN, an
// infinity or past kLargestSample.
bool stretchRanges(const float* samples, std::size_t count, float* ranges) {
    lanes::FloatMask tame = lanes::FloatMask{} - 1;
    std::size_t s = 0;
    for (; (s + 1) * kStretch <= count; ++s) {
        const float* stretch = samples + s * kStretch;
        lanes::Floats low = lanes::load(stretch), high = low;
        tame &= lanes::magnitude(low) <= kLargestSample;
        for (std::size_t i = lanes::kFloats; i < kStretch; i += lanes::kFloats) {
            const lanes::Floats x = lanes::load(stretch + i);
            tame &= lanes::magnitude(x) <= kLargestSample;
            low = lanes::smaller(low, x);
            high = lanes::larger(high, x);
        }
        ranges[2 * s] = lanes::smallestOf(low);
        ranges[2 * s + 1] = lanes::largestOf(high);
    }
    for (std::size_t k = 0; k < lanes::kFloats; ++k) {
        if (tame[k] == 0) return false;
    }
    if (s * kStretch < count) {
        float lowest = samples[s * kStretch], highest = lowest;
        for (std::size_t i = s * kStretch; i < count; ++i) {
            if (!(std::fabs(samples[i]) <= kLargestSample)) return false;
            lowest = std::min(lowest, samples[i]);
            highest = std::max(highest, samples[i]);
        }
        ranges[2 * s] = lowest;
        ranges[2 * s + 1] = highest;
    }
    return true;
}

}  // namespace

void LoudnessMeter::interpolate(std::span<const std::span<const float>> channels) {
    if (channels.empty() || channels.size() != channels_.size()) return;
    const std::size_t frames = channels[0].size();
    const std::size_t past = taps_ > 0 ? taps_ - 1 : 0;
    const std::size_t stretches = (frames + kStretch - 1) / kStretch;
    const std::size_t head = std::min(frames, past);  // samples whose filter reaches into the history
    stretchRanges_.resize(2 * (stretches + 1) * channels.size());
    joined_.resize((past + head) * channels.size());
    sources_.resize(channels.size());

    // The lowest and highest sample of each stretch of each channel (the
    // history's first), read where the samples lie unless one must be made
    // finite first. The sample peak of the whole block, phase 0 of the
    // oversampling, is the floor the bounds are compared with.
    float samplePeak = truePeak_;
    for (std::size_t c = 0; c < channels.size(); ++c) {
        float* ranges = stretchRanges_.data() + 2 * c * (stretches + 1);
        const std::vector<float>& history = channels_[c].history;
        ranges[0] = ranges[1] = history.empty() ? 0.0f : history[0];
        for (float x : history) ranges[0] = std::min(ranges[0], x), ranges[1] = std::max(ranges[1], x);
        const float* source = channels[c].data();
        if (!stretchRanges(source, frames, ranges + 2)) {
            // Sized before any channel of this block points into it.
            if (cleaned_.size() != frames * channels.size()) cleaned_.resize(frames * channels.size());
            float* copy = cleaned_.data() + c * frames;
            for (std::size_t i = 0; i < frames; ++i) copy[i] = finiteSample(source[i]);
            source = copy;
            stretchRanges(source, frames, ranges + 2);
        }
        sources_[c] = source;
        for (std::size_t s = 1; s <= stretches; ++s) {
            samplePeak = std::max({samplePeak, -ranges[2 * s], ranges[2 * s + 1]});
        }
        // The history, then the block's first samples: what the filter reads
        // for the block's first `past` positions.
        float* joined = joined_.data() + c * (past + head);
        std::copy(history.begin(), history.end(), joined);
        std::copy(source, source + head, joined + past);
    }
    truePeak_ = samplePeak;

    for (std::size_t c = 0; c < channels.size() && !coefficients_.empty(); ++c) {
        const float* ranges = stretchRanges_.data() + 2 * c * (stretches + 1);
        const float* joined = joined_.data() + c * (past + head);
        // Stretch s reads its own samples and the `past` before them: those
        // of the stretches before, or of the history (range 0).
        const std::size_t reach = (past + kStretch - 1) / kStretch;
        bounds_.resize(stretches);
        for (std::size_t s = 0; s < stretches; ++s) {
            float lowest = ranges[2 * s + 2], highest = ranges[2 * s + 3];
            for (std::size_t r = s + 1 > reach ? s + 1 - reach : 0; r <= s; ++r) {
                lowest = std::min(lowest, ranges[2 * r]);
                highest = std::max(highest, ranges[2 * r + 1]);
            }
            const double low = lowest, high = highest;
            bounds_[s] = std::fabs(high + low) / 2 * levelGain_ + (high - low) / 2 * spreadGain_;
        }
        auto mayRaise = [&](std::size_t s) { return bounds_[s] > static_cast<double>(truePeak_); };
        // Positions before `head` read the joined copy, the rest the block.
        auto filter = [&](const float* newest, std::size_t count) {
            const float* c = coefficients_.data();
            truePeak_ = taps_ == kInterpolatorSpan / 4
                            ? interpolatedPeak<3, kInterpolatorSpan / 4, 3>(newest, count, c, truePeak_)
                            : interpolatedPeak<1, kInterpolatorSpan / 2, 6>(newest, count, c, truePeak_);
        };
        for (std::size_t s = 0; s < stretches;) {
            if (!mayRaise(s)) {
                ++s;
                continue;
            }
            std::size_t end = s + 1;
            while (end < stretches && end - s < kMaxRunStretches && mayRaise(end)) ++end;
            std::size_t first = s * kStretch;
            const std::size_t last = std::min(frames, end * kStretch);
            if (first < head) {
                filter(joined + past + first, std::min(last, head) - first);
                first = std::min(last, head);
            }
            if (first < last) filter(sources_[c] + first, last - first);
            s = end;
        }
    }

    for (std::size_t c = 0; c < channels.size() && past > 0; ++c) {
        // The last `past` samples, counting the old history when the block
        // is shorter than it.
        std::vector<float>& history = channels_[c].history;
        if (frames >= past) {
            std::copy(sources_[c] + frames - past, sources_[c] + frames, history.begin());
        } else {
            const float* joined = joined_.data() + c * (past + head);
            std::copy(joined + head, joined + head + past, history.begin());
        }
    }
}

LocalAudioAnalyzer::LoudnessSummary LoudnessMeter::summary() const {
    LocalAudioAnalyzer::LoudnessSummary result;
    const auto frames = static_cast<double>(subBlockFrames_);

    // Momentary loudness and the gating blocks: 400 ms every 100 ms.
    const std::vector<double> blocks = windowMeans(subBlocks_, kSubBlocksPerGatingBlock, frames);
    result.momentaryLufsMax = loudestOf(blocks);

    double gatedSum = 0;
    std::size_t gatedCount = 0;
    for (double block : blocks) {
        if (block > 0 && loudnessOf(block) > kAbsoluteGateLufs) gatedSum += block, ++gatedCount;
    }
    if (gatedCount > 0) {
        const double threshold = loudnessOf(gatedSum / static_cast<double>(gatedCount)) + kRelativeGateLu;
        double sum = 0;
        std::size_t count = 0;
        for (double block : blocks) {
            if (block > 0 && loudnessOf(block) > kAbsoluteGateLufs && loudnessOf(block) > threshold) sum += block, ++count;
        }
        if (count > 0) result.integratedLufs = loudnessOf(sum / static_cast<double>(count));
    }

    // Short-term loudness: 3 s every 100 ms, from the first whole window.
    const std::vector<double> shortTerm = windowMeans(subBlocks_, kSubBlocksPerShortTerm, frames);
    result.shortTermLufsMax = loudestOf(shortTerm);

    std::vector<double> aboveAbsolute;
    double aboveSum = 0;
    for (double value : shortTerm) {
        if (value > 0 && loudnessOf(value) > kAbsoluteGateLufs) {
            aboveAbsolute.push_back(loudnessOf(value));
            aboveSum += value;
        }
    }
    if (!aboveAbsolute.empty()) {
        const double threshold = loudnessOf(aboveSum / static_cast<double>(aboveAbsolute.size())) + kRangeRelativeGateLu;
        std::vector<double> gated;
        for (double value : aboveAbsolute) {
            if (value > threshold) gated.push_back(value);
        }
        if (!gated.empty()) {
            std::sort(gated.begin(), gated.end());
            result.loudnessRangeLu = percentileOf(gated, kRangeHighPercentile) - percentileOf(gated, kRangeLowPercentile);
        }
    }

    // The curve: every second, spread wider when that makes too many points.
    if (!shortTerm.empty()) {
        const std::size_t stride =
            std::max(kSubBlocksPerCurvePoint, (shortTerm.size() + kMaxCurvePoints - 1) / kMaxCurvePoints);
        for (std::size_t j = 0; j < shortTerm.size() && result.loudnessCurve.size() < kMaxCurvePoints; j += stride) {
            const double value = shortTerm[j] > 0 ? loudnessOf(shortTerm[j]) : kCurveFloorLufs;
            result.loudnessCurve.push_back(std::max(value, kCurveFloorLufs));
        }
    }

    if (truePeak_ > 0) result.truePeakDbTP = LocalAudioAnalyzer::decibels(truePeak_);
    return result;
}

}  // namespace vantorel::analysis
