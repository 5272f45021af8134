// The texts and facts of key detection and clip listening that do not need
// the controller: reading the bridge's key source, the French key message,
// and when a detected key is trusted enough to be reused by the planner.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

// A detected key at or above this confidence is reused for MIDI creation.
inline constexpr double kReliableKeyConfidence = 0.6;

inline constexpr std::string_view kDefaultTrackName = "Piste sélectionnée";
inline constexpr std::string_view kDefaultClipName = "Clip sélectionné";
inline constexpr std::string_view kDefaultProjectName = "Projet Ableton";
inline constexpr std::string_view kNotConnectedText = "Ableton n’est pas connecté.";

// The `result` of GET /v1/key-source, read leniently.
struct KeySource {
    std::string kind;  // "audio" or "midi" when the bridge behaves
    std::optional<std::string> filePath;
    // Present only when `pitchClasses` is an array whose members are all numbers.
    std::optional<std::vector<double>> pitchClasses;
    double transposeSemitones = 0;
    double startSeconds = 0;
    std::optional<double> durationSeconds;
    std::string track;  // the source's, else kDefaultTrackName
    std::string clip;   // the source's, else kDefaultClipName
};

// Throws BridgeFailure::invalidResponse when result is not an object with a
// string `kind`.
KeySource readKeySource(const nlohmann::json& result);

// "faible" below 0.55, "moyenne" below 0.75, "élevée" from 0.75.
std::string_view confidenceWord(double confidence);
// confidence × 100 rounded half away from zero.
long long confidencePercent(double confidence);

struct KeyMessageFacts {
    std::string clip;
    std::string track;
    std::string key;
    double confidence = 0;
    bool fromAudio = true;  // else from the clip's MIDI notes
    double analyzedSeconds = 0;
};

// The chat answer to "quelle est la tonalité de ce clip ?".
std::string keyMessage(const KeyMessageFacts& facts);

}  // namespace vantorel
