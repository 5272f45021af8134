#include "analysis/musical_key_analyzer.h"

#include "analysis/analysis_pipeline.h"
#include "analysis/dft.h"

#include <algorithm>
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
    if (mono.size() < kFrameLength) fail(KeyAnalysisErrorCase::insufficientSignal);
    analysis::RealDft dft(kFrameLength);
    if (!dft.valid()) fail(KeyAnalysisErrorCase::insufficientSignal);
    const std::vector<float> window = analysis::hannWindow(kFrameLength);

    // Which pitch class each bin of 45…5000 Hz feeds, and its 1/√f weight.
    struct Bin {
        std::size_t index;
        std::size_t pitchClass;
        double weight;
    };
    std::vector<Bin> bins;
    for (std::size_t k = 1; k < kFrameLength / 2; ++k) {
        double f = static_cast<double>(k) * sampleRate / static_cast<double>(kFrameLength);
        if (f < kLowestHz || f > kHighestHz) continue;
        double note = std::round(12.0 * std::log2(f / 440.0) + 69.0);
        auto pitchClass = static_cast<std::size_t>(((static_cast<long long>(note) % 12) + 12) % 12);
        bins.push_back({k, pitchClass, 1.0 / std::sqrt(f)});
    }

    Chroma chroma{};
    int counted = 0;
    float* input = dft.input();
    const std::complex<float>* spectrum = dft.output();
    for (std::size_t start = 0; start + kFrameLength <= mono.size(); start += kHop) {
        const float* frame = mono.data() + start;
        double squares = 0;
        for (std::size_t i = 0; i < kFrameLength; ++i) squares += static_cast<double>(frame[i]) * frame[i];
        if (squares / static_cast<double>(kFrameLength) < kSilenceMeanSquare) continue;
        for (std::size_t i = 0; i < kFrameLength; ++i) input[i] = frame[i] * window[i];
        dft.run();
        ++counted;
        for (const Bin& bin : bins) {
            double re = spectrum[bin.index].real();
            double im = spectrum[bin.index].imag();
            double magnitude = std::sqrt(re * re + im * im);
            // A frame holding inf or NaN samples yields no usable bin.
            if (!(magnitude > 0) || !std::isfinite(magnitude)) continue;
            chroma[bin.pitchClass] += std::log1p(magnitude) * bin.weight;
        }
    }
    double sum = std::accumulate(chroma.begin(), chroma.end(), 0.0);
    if (counted < kMinCountedFrames || !(sum > 0)) fail(KeyAnalysisErrorCase::insufficientSignal);
    return chroma;
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

KeyDetection detectKeyOfSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds) {
    const double sampleRate = source.sampleRate();
    Excerpt excerpt = planExcerpt(source.frames(), sampleRate, startSeconds, durationSeconds, kMaxSeconds);
    if (excerpt.frameCount < kMinPlannedFrames) fail(KeyAnalysisErrorCase::insufficientSignal);
    Channels channels;
    try {
        channels = source.read(excerpt.firstFrame, excerpt.frameCount);
    } catch (const std::bad_alloc&) {
        fail(KeyAnalysisErrorCase::insufficientSignal);
    } catch (const DecodeError& error) {
        fail(keyCase(error.kind));
    }
    const std::size_t framesRead = channels.empty() ? 0 : channels[0].size();
    if (framesRead <= static_cast<std::size_t>(kMinReadFrames)) fail(KeyAnalysisErrorCase::insufficientSignal);
    Samples mono = mixToMono(std::move(channels));
    MusicalKeyAnalyzer::Chroma chroma = MusicalKeyAnalyzer::audioChroma(mono, sampleRate);
    return MusicalKeyAnalyzer::detect(chroma, transposeSemitones, static_cast<double>(framesRead) / sampleRate);
}

std::optional<KeyDetection> keyOfMonoExcerpt(std::span<const float> mono, double sampleRate, std::int64_t fileFrames,
                                             std::int64_t firstFrame, double transposeSemitones) {
    // What analyzeAudio would plan for this excerpt's start and length: the
    // start is already clamped, so the first frame is the same, and the
    // count never exceeds the frames in hand.
    double seconds = std::min(static_cast<double>(mono.size()) / sampleRate, kMaxSeconds);
    auto count = std::min(static_cast<std::int64_t>(seconds * sampleRate),
                          std::max<std::int64_t>(fileFrames - firstFrame, 0));
    count = std::min<std::int64_t>(count, static_cast<std::int64_t>(mono.size()));
    if (count < kMinPlannedFrames) return std::nullopt;
    try {
        auto prefix = mono.first(static_cast<std::size_t>(count));
        MusicalKeyAnalyzer::Chroma chroma = MusicalKeyAnalyzer::audioChroma(prefix, sampleRate);
        return MusicalKeyAnalyzer::detect(chroma, transposeSemitones, static_cast<double>(count) / sampleRate);
    } catch (const KeyAnalysisError&) {
        return std::nullopt;
    }
}

}  // namespace analysis

}  // namespace vantorel
