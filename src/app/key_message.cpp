#include "app/key_message.h"

#include "bridge/failure.h"
#include "common/format.h"
#include "common/json.h"

#include <cmath>

namespace vantorel {

namespace {

constexpr double kMediumConfidence = 0.55;
constexpr double kHighConfidence = 0.75;

}  // namespace

KeySource readKeySource(const nlohmann::json& result) {
    auto kind = json::text(result, "kind");
    if (!kind) throw BridgeFailure(BridgeFailureCase::invalidResponse);
    KeySource source;
    source.kind = std::move(*kind);
    source.filePath = json::text(result, "filePath");
    if (const auto* pitches = json::member(result, "pitchClasses"); pitches != nullptr && pitches->is_array()) {
        std::vector<double> values;
        bool numeric = true;
        for (const auto& value : *pitches) {
            auto number = json::asDouble(value);
            if (!number) {
                numeric = false;
                break;
            }
            values.push_back(*number);
        }
        if (numeric) source.pitchClasses = std::move(values);
    }
    source.transposeSemitones = json::number(result, "transposeSemitones", 0.0);
    if (const auto* range = json::object(result, "analysisRange")) {
        source.startSeconds = json::number(*range, "startSeconds", 0.0);
        source.durationSeconds = json::number(*range, "durationSeconds");
    }
    source.track = json::text(result, "track", kDefaultTrackName);
    source.clip = json::text(result, "clip", kDefaultClipName);
    return source;
}

std::string_view confidenceWord(double confidence) {
    if (confidence < kMediumConfidence) return "faible";
    if (confidence < kHighConfidence) return "moyenne";
    return "élevée";
}

long long confidencePercent(double confidence) { return std::llround(confidence * 100); }

std::string keyMessage(const KeyMessageFacts& facts) {
    std::string message = "La tonalité la plus probable de **" + facts.clip + "** sur **" + facts.track + "** est **" +
                          facts.key + "** — confiance " + std::string(confidenceWord(facts.confidence)) + ", **" +
                          std::to_string(confidencePercent(facts.confidence)) + " %**.";
    message += "\n\nRésultat fondé sur une ";
    message += facts.fromAudio ? "analyse audio locale de " + format::oneDecimal(facts.analyzedSeconds) + " s"
                               : std::string("analyse des notes MIDI");
    message += ", pas sur la gamme renseignée dans Ableton.";
    message += facts.confidence >= kReliableKeyConfidence
                   ? " Je peux maintenant réutiliser automatiquement cette tonalité pour créer une bassline, des "
                     "accords ou une mélodie dans ce projet."
                   : " Pour fiabiliser le résultat, sélectionne plutôt un clip contenant une basse, des accords ou une "
                     "mélodie clairement tonale, puis relance la détection.";
    return message;
}

}  // namespace vantorel
