#include "analysis/musical_key_analyzer.h"

#include "analysis/analysis_pipeline.h"
#include "analysis/audio_decoder.h"
#include "analysis/dft.h"
#include "analysis/lanes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <numeric>

namespace vantorel {

namespace {

constexpr double kMaxSeconds = 75.0;
constexpr std::int64_t kMinPlannedFrames = 4097;  // fewer planned frames: nothing to analyse
constexpr std::int64_t kMinReadFrames = 4096;     // this many or fewer read: nothing to analyse
constexpr std::size_t kFrameLength = 8192;
constexpr std::size_t kHop = 4096;
constexpr double kSilenceMeanSquare = 0.0000005;
constexpr double kLowestHz = 45.0;
constexpr double kHighestHz = 5000.0;
constexpr int kMinCountedFrames = 3;
constexpr double kMinSpread = 0.000001;
// Frames decoded per call when the key is analysed on its own.
constexpr std::size_t kChunkFrames = 16384;

constexpr double kBaseConfidence = 0.43;
constexpr double kMarginWeight = 2.2;
constexpr double kScoreWeight = 0.45;
constexpr double kScoreFloor = 0.45;
constexpr double kMinConfidence = 0.3;
constexpr double kMaxConfidence = 0.96;

[[noreturn]] void fail(KeyAnalysisErrorCase kind) { throw KeyAnalysisError(kind); }

KeyAnalysisErrorCase keyCase(analysis::DecodeFailure failure) {
    switch (failure) {
        case analysis::DecodeFailure::unreadable: return KeyAnalysisErrorCase::unreadableAudio;
        case analysis::DecodeFailure::unsupported: return KeyAnalysisErrorCase::unsupportedAudio;
        case analysis::DecodeFailure::insufficient: break;
    }
    return KeyAnalysisErrorCase::insufficientSignal;
}

// round(t) mod 12 with the sign of t, as an integer; a transposition that
// is not a finite number is none.
int semitoneShift(double transposeSemitones) {
    if (!std::isfinite(transposeSemitones)) return 0;
    return static_cast<int>(std::fmod(std::round(transposeSemitones), 12.0));
}

}  // namespace

nlohmann::json KeyDetection::dictionary() const {
    return {{"key", key}, {"confidence", confidence}, {"analyzedSeconds", analyzedSeconds}};
}

std::string_view KeyAnalysisError::caseName(KeyAnalysisErrorCase kind) {
    switch (kind) {
        case KeyAnalysisErrorCase::unreadableAudio: return "unreadableAudio";
        case KeyAnalysisErrorCase::unsupportedAudio: return "unsupportedAudio";
        case KeyAnalysisErrorCase::insufficientSignal: return "insufficientSignal";
    }
    return "insufficientSignal";
}

std::string_view KeyAnalysisError::describe(KeyAnalysisErrorCase kind) {
    switch (kind) {
        case KeyAnalysisErrorCase::unreadableAudio: return "Le fichier audio du clip est illisible.";
        case KeyAnalysisErrorCase::unsupportedAudio: return "Le format audio de ce clip n’est pas pris en charge.";
        case KeyAnalysisErrorCase::insufficientSignal:
            return "Le clip ne contient pas assez de signal tonal pour déterminer une key.";
    }
    return "";
}

namespace MusicalKeyAnalyzer {

const std::array<std::string_view, 12> noteNames = {"C",  "C♯", "D",  "D♯", "E",  "F",
                                                   "F♯", "G",  "G♯", "A",  "A♯", "B"};
const Chroma majorProfile = {6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
const Chroma minorProfile = {6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17};

double correlation(std::span<const double, 12> chroma, const Chroma& profile, int root) {
    double chromaMean = std::accumulate(chroma.begin(), chroma.end(), 0.0) / 12.0;
    double profileMean = std::accumulate(profile.begin(), profile.end(), 0.0) / 12.0;
    double products = 0, chromaSquares = 0, profileSquares = 0;
    for (int i = 0; i < 12; ++i) {
        double a = chroma[static_cast<std::size_t>(((root + i) % 12 + 12) % 12)] - chromaMean;
        double b = profile[static_cast<std::size_t>(i)] - profileMean;
        products += a * b;
        chromaSquares += a * a;
        profileSquares += b * b;
    }
    double denominator = std::sqrt(chromaSquares * profileSquares);
    if (!(denominator > 0)) return -1;
    double r = products / denominator;
    // Values near the double range overflow to inf/inf; an unordered score
    // would break the ranking, and such a chroma says nothing tonal anyway.
    return std::isfinite(r) ? r : -1;
}

KeyDetection detect(std::span<const double> chroma, double transposeSemitones, double analyzedSeconds) {
    if (chroma.size() != 12) fail(KeyAnalysisErrorCase::insufficientSignal);
    if (!std::all_of(chroma.begin(), chroma.end(), [](double v) { return std::isfinite(v); })) {
        fail(KeyAnalysisErrorCase::insufficientSignal);
    }
    double sum = std::accumulate(chroma.begin(), chroma.end(), 0.0);
    if (!(sum > 0)) fail(KeyAnalysisErrorCase::insufficientSignal);
    double mean = sum / 12.0;
    double squares = 0;
    for (double v : chroma) squares += (v - mean) * (v - mean);
    if (!(std::sqrt(squares) > kMinSpread)) fail(KeyAnalysisErrorCase::insufficientSignal);

    struct Candidate {
        int root;
        bool major;
        double score;
    };
    std::span<const double, 12> bins(chroma.data(), 12);
    std::vector<Candidate> candidates;
    candidates.reserve(24);
    for (int root = 0; root < 12; ++root) {
        candidates.push_back({root, true, correlation(bins, majorProfile, root)});
        candidates.push_back({root, false, correlation(bins, minorProfile, root)});
    }
    // Stable: a tie keeps the lower root, and at one root the major mode.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    double best = candidates[0].score;
    double second = candidates[1].score;
    double confidence = kBaseConfidence + kMarginWeight * (best - second) + kScoreWeight * std::max(best - kScoreFloor, 0.0);
    confidence = std::clamp(confidence, kMinConfidence, kMaxConfidence);

    int pitchClass = (candidates[0].root + semitoneShift(transposeSemitones) + 12) % 12;
    KeyDetection detection;
    detection.key = std::string(noteNames[static_cast<std::size_t>(pitchClass)]) + (candidates[0].major ? " major" : " minor");
    detection.confidence = confidence;
    detection.analyzedSeconds = analyzedSeconds;
    return detection;
}

Chroma audioChroma(std::span<const float> mono, double sampleRate) {
    analysis::ChromaStream stream(sampleRate, mono.size());
    stream.add(mono);
    return stream.chroma();
}

KeyDetection analyzeAudio(const std::filesystem::path& file, double transposeSemitones, double startSeconds,
                          std::optional<double> durationSeconds) {
    try {
        analysis::AudioSource source = analysis::AudioSource::openFile(file);
        return analysis::detectKeyOfSource(source, transposeSemitones, startSeconds, durationSeconds);
    } catch (const analysis::DecodeError& error) {
        fail(keyCase(error.kind));
    }
}

}  // namespace MusicalKeyAnalyzer

namespace analysis {

ChromaStream::ChromaStream(double sampleRate, std::size_t limit)
    : dft_(std::make_unique<RealDft>(kFrameLength)), frames_(kFrameLength, kHop, limit) {
    if (!dft_->valid()) return;
    window_ = hannWindow(kFrameLength);
    // Which pitch class each bin of 45…5000 Hz feeds, and its 1/√f weight.
    for (std::size_t k = 1; k < kFrameLength / 2; ++k) {
        double f = static_cast<double>(k) * sampleRate / static_cast<double>(kFrameLength);
        if (f < kLowestHz || f > kHighestHz) continue;
        double note = std::round(12.0 * std::log2(f / 440.0) + 69.0);
        auto pitchClass = static_cast<std::size_t>(((static_cast<long long>(note) % 12) + 12) % 12);
        bins_.push_back({k, pitchClass, 1.0 / std::sqrt(f)});
    }
}

ChromaStream::~ChromaStream() = default;

bool ChromaStream::silent(const float* samples) {
    // The sum taken in eight lanes differs from the sum taken in order by
    // far less than a millionth (8192 non-negative terms), so it settles
    // every frame not within that of the threshold; the ordered sum, which
    // waits on each addition, decides the rest.
    constexpr double kUnsure = 1e-6;
    std::array<lanes::Doubles, 4> lanesSquares{};
    for (std::size_t i = 0; i < kFrameLength; i += 2 * lanes::kFloats) {
        const lanes::Floats first = lanes::load(samples + i), second = lanes::load(samples + i + lanes::kFloats);
        const lanes::Doubles parts[4] = {lanes::lowHalf(first), lanes::highHalf(first), lanes::lowHalf(second),
                                         lanes::highHalf(second)};
        for (std::size_t k = 0; k < 4; ++k) lanesSquares[k] += parts[k] * parts[k];
    }
    const lanes::Doubles pairs = (lanesSquares[0] + lanesSquares[1]) + (lanesSquares[2] + lanesSquares[3]);
    const double quick = (pairs[0] + pairs[1]) / static_cast<double>(kFrameLength);
    if (quick > kSilenceMeanSquare * (1 + kUnsure)) return false;
    if (quick < kSilenceMeanSquare * (1 - kUnsure)) return true;
    double squares = 0;
    for (std::size_t i = 0; i < kFrameLength; ++i) squares += static_cast<double>(samples[i]) * samples[i];
    return squares / static_cast<double>(kFrameLength) < kSilenceMeanSquare;
}

void ChromaStream::add(std::span<const float> mono) {
    if (!dft_->valid()) return;
    frames_.add(mono, [this](const float* samples) { frame(samples); });
}

void ChromaStream::frame(const float* samples) {
    if (silent(samples)) return;
    float* input = dft_->input();
    for (std::size_t i = 0; i < kFrameLength; ++i) input[i] = samples[i] * window_[i];
    dft_->run();
    ++counted_;
    const std::complex<float>* spectrum = dft_->output();
    for (const Bin& bin : bins_) {
        double re = spectrum[bin.index].real();
        double im = spectrum[bin.index].imag();
        double magnitude = std::sqrt(re * re + im * im);
        // A frame holding inf or NaN samples yields no usable bin.
        if (!(magnitude > 0) || !std::isfinite(magnitude)) continue;
        chroma_[bin.pitchClass] += std::log1p(magnitude) * bin.weight;
    }
}

MusicalKeyAnalyzer::Chroma ChromaStream::chroma() const {
    if (!dft_->valid()) fail(KeyAnalysisErrorCase::insufficientSignal);
    double sum = std::accumulate(chroma_.begin(), chroma_.end(), 0.0);
    if (counted_ < kMinCountedFrames || !(sum > 0)) fail(KeyAnalysisErrorCase::insufficientSignal);
    return chroma_;
}

KeyDetection detectKeyOfSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds) {
    const double sampleRate = source.sampleRate();
    const auto channels = static_cast<std::size_t>(source.channelCount());
    Excerpt excerpt = planExcerpt(source.frames(), sampleRate, startSeconds, durationSeconds, kMaxSeconds);
    if (excerpt.frameCount < kMinPlannedFrames) fail(KeyAnalysisErrorCase::insufficientSignal);
    if (excerpt.frameCount > AudioSource::maxExcerptSamples / static_cast<std::int64_t>(channels)) {
        fail(KeyAnalysisErrorCase::insufficientSignal);
    }
    // Decoded a block at a time and mixed as it comes: only the chroma's
    // frame and one block are ever held.
    ChromaStream stream(sampleRate, static_cast<std::size_t>(excerpt.frameCount));
    std::vector<std::vector<float>> block(channels, std::vector<float>(kChunkFrames));
    std::vector<float*> targets;
    for (std::vector<float>& channel : block) targets.push_back(channel.data());
    std::vector<std::span<const float>> views(channels);
    std::vector<float> mono(kChunkFrames);
    std::int64_t framesRead = 0;
    try {
        source.seek(excerpt.firstFrame);
        while (framesRead < excerpt.frameCount) {
            const auto want = std::min<std::int64_t>(excerpt.frameCount - framesRead, kChunkFrames);
            const std::int64_t got = source.readChannels(targets, want);
            if (got <= 0) break;
            for (std::size_t c = 0; c < channels; ++c) views[c] = {block[c].data(), static_cast<std::size_t>(got)};
            mixChannels(views, mono.data());
            stream.add(std::span<const float>(mono.data(), static_cast<std::size_t>(got)));
            framesRead += got;
            if (got < want) break;
        }
    } catch (const DecodeError& error) {
        fail(keyCase(error.kind));
    }
    if (framesRead <= kMinReadFrames) fail(KeyAnalysisErrorCase::insufficientSignal);
    MusicalKeyAnalyzer::Chroma chroma = stream.chroma();
    return MusicalKeyAnalyzer::detect(chroma, transposeSemitones, static_cast<double>(framesRead) / sampleRate);
}

std::int64_t keyExcerptFrames(std::int64_t framesRead, double sampleRate, std::int64_t fileFrames,
                              std::int64_t firstFrame) {
    double seconds = std::min(static_cast<double>(framesRead) / sampleRate, kMaxSeconds);
    auto count =
        std::min(static_cast<std::int64_t>(seconds * sampleRate), std::max<std::int64_t>(fileFrames - firstFrame, 0));
    count = std::min(count, framesRead);
    return count < kMinPlannedFrames ? 0 : count;
}

}  // namespace analysis

}  // namespace vantorel
