// Musical key of audio or of a MIDI clip's pitch classes.
//
// A 12-bin pitch-class profile (chroma, index 0 = C) is correlated with the
// 24 rotations of the Krumhansl–Kessler major and minor profiles; the best
// key wins, with a confidence drawn from its score and its margin over the
// runner-up. The clip's transposition is applied to the reported name, so the
// key is the one the producer hears. Stateless: every function is safe from
// any thread.
#pragma once

#include "common/error.h"

#include <nlohmann/json.hpp>

#include <array>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantorel {

struct KeyDetection {
    std::string key;               // note name, a space, "major" or "minor": "F♯ minor"
    double confidence = 0;         // 0.3 … 0.96
    double analyzedSeconds = 0;    // seconds of audio analysed; 0 for a MIDI chroma

    // {"key", "confidence", "analyzedSeconds"}
    nlohmann::json dictionary() const;
};

enum class KeyAnalysisErrorCase { unreadableAudio, unsupportedAudio, insufficientSignal };

class KeyAnalysisError : public EnumError<KeyAnalysisError, KeyAnalysisErrorCase> {
public:
    using EnumError::EnumError;
    static constexpr std::string_view typeName = "KeyAnalysisError";
    static std::string_view caseName(KeyAnalysisErrorCase kind);
    static std::string_view describe(KeyAnalysisErrorCase kind);
};

namespace MusicalKeyAnalyzer {

using Chroma = std::array<double, 12>;

// Note names by pitch class, sharps written with U+266F.
extern const std::array<std::string_view, 12> noteNames;
// Krumhansl–Kessler probe-tone profiles, index 0 = tonic.
extern const Chroma majorProfile;
extern const Chroma minorProfile;

// Decodes at most 75 s of the file from `startSeconds` (clamped to the last
// frame; `durationSeconds` absent means 75 s) and detects its key.
KeyDetection analyzeAudio(const std::filesystem::path& file, double transposeSemitones, double startSeconds,
                          std::optional<double> durationSeconds);

// The key of a chroma, which must hold exactly 12 finite values with a
// positive sum and a non-zero spread. Throws insufficientSignal otherwise.
KeyDetection detect(std::span<const double> chroma, double transposeSemitones, double analyzedSeconds);

// Folds 8192-point Hann-windowed spectra (hop 4096) of 45…5000 Hz onto the
// 12 pitch classes, weighting each bin by ln(1 + magnitude) ÷ √f; frames
// under the silence gate are skipped. Throws insufficientSignal with fewer
// than 8192 samples, fewer than 3 counted frames or an empty chroma.
Chroma audioChroma(std::span<const float> mono, double sampleRate);

// Pearson correlation of the chroma rotated to `root` with a profile; −1
// when either is flat.
double correlation(std::span<const double, 12> chroma, const Chroma& profile, int root);

}  // namespace MusicalKeyAnalyzer

}  // namespace vantorel
