// Key detection and clip listening: the selected clip, read through the
// bridge's key source, analysed off the loop.
//
// A result that lands after a reset (another set was opened meanwhile) is
// still shown, since the producer asked for it, but it is not remembered:
// neither the key nor the measurement may describe the new set.
#include "analysis/local_audio_analyzer.h"
#include "analysis/musical_key_analyzer.h"
#include "app/app_delegate.h"
#include "app/key_message.h"
#include "bridge/failure.h"
#include "bridge/readable.h"

namespace vantorel {

namespace {

struct FoundKey {
    KeyDetection detection;
    KeySource source;
};

FoundKey detectKey(const BridgeClient& client) {
    KeySource source = readKeySource(client.request("/v1/key-source"));
    KeyDetection detection;
    if (source.kind == "audio") {
        if (!source.filePath) throw BridgeFailure(BridgeFailureCase::invalidResponse);
        detection = MusicalKeyAnalyzer::analyzeAudio(*source.filePath, source.transposeSemitones, source.startSeconds,
                                                     source.durationSeconds);
    } else if (source.kind == "midi") {
        if (!source.pitchClasses) throw BridgeFailure(BridgeFailureCase::invalidResponse);
        detection = MusicalKeyAnalyzer::detect(*source.pitchClasses, source.transposeSemitones, 0);
    } else {
        throw BridgeFailure(BridgeFailureCase::invalidResponse);
    }
    return {std::move(detection), std::move(source)};
}

struct ListenedClip {
    Json dictionary;
    KeySource source;
};

ListenedClip measureClip(const BridgeClient& client) {
    KeySource source = readKeySource(client.request("/v1/key-source"));
    if (source.kind != "audio" || !source.filePath) {
        throw AudioMeasurementError(AudioMeasurementErrorCase::unsupportedAudio);
    }
    AudioMeasurement measured = LocalAudioAnalyzer::analyze(*source.filePath, source.transposeSemitones,
                                                            source.startSeconds, source.durationSeconds);
    // The dictionary (waveform, spectrogram) is built here, not on the loop.
    return {measured.dictionary(), std::move(source)};
}

}  // namespace

void AppDelegate::findKey(std::optional<std::string> conversationPrompt) {
    const std::string_view failureEvent = conversationPrompt ? "chatResult" : "keyResult";
    if (!bridge) {
        send(failureEvent, Json{{"ok", false}, {"message", kNotConnectedText}});
        return;
    }
    // The key belongs to the set open when detection started.
    const std::uint64_t startedIn = epoch();
    std::string project = snapshotProject().value_or("");
    offLoop<FoundKey>(
        Lane::work, [client = bridge] { return detectKey(*client); },
        [this, conversationPrompt = std::move(conversationPrompt), startedIn, project = std::move(project),
         failureEvent](Outcome<FoundKey> outcome) {
            if (!outcome.ok()) {
                send(failureEvent, Json{{"ok", false}, {"message", readable(outcome.error())}});
                return;
            }
            const FoundKey& found = outcome.get();
            const KeyDetection& detection = found.detection;
            const bool current = epoch() == startedIn;
            if (current) lastDetectedKey = DetectedKey{detection.key, detection.confidence, project};
            if (!conversationPrompt) {
                send("keyResult", Json{{"ok", true},
                                       {"key", detection.key},
                                       {"confidence", detection.confidence},
                                       {"analyzedSeconds", detection.analyzedSeconds},
                                       {"track", found.source.track},
                                       {"clip", found.source.clip},
                                       {"kind", found.source.kind}});
                return;
            }
            std::string message = keyMessage({found.source.clip, found.source.track, detection.key,
                                              detection.confidence, found.source.kind == "audio",
                                              detection.analyzedSeconds});
            if (current) appendChatTurns(*conversationPrompt, message);
            send("chatResult", Json{{"ok", true}, {"answer", std::move(message)}, {"source", "local-key-analysis"}});
        });
}

void AppDelegate::listenSelectedClip() {
    if (!bridge) {
        send("audioResult", Json{{"ok", false}, {"message", kNotConnectedText}});
        return;
    }
    send("audioProgress", Json{{"active", true}});
    const std::uint64_t startedIn = epoch();
    std::string project = snapshotProject().value_or(std::string(kDefaultProjectName));
    const std::int64_t revision = currentRevision;
    offLoop<ListenedClip>(
        Lane::work, [client = bridge] { return measureClip(*client); },
        [this, startedIn, project = std::move(project), revision](Outcome<ListenedClip> outcome) {
            if (!outcome.ok()) {
                send("audioResult", Json{{"ok", false}, {"message", readable(outcome.error())}});
                return;
            }
            ListenedClip& listened = outcome.get();
            Json measurement = std::move(listened.dictionary);
            measurement["track"] = listened.source.track;
            measurement["clip"] = listened.source.clip;
            measurement["project"] = project;
            measurement["revision"] = revision;
            if (epoch() == startedIn) {
                latestAudioMeasurement = measurement;
                if (Json* context = editableContext()) (*context)["audioMeasurement"] = measurement;
            }
            send("audioResult", Json{{"ok", true}, {"measurement", std::move(measurement)}, {"continueChat", false}});
        });
}

}  // namespace vantorel
