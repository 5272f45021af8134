// One confirmed plan step, one bridge request.
#include "app/app_delegate.h"
#include "bridge/failure.h"

namespace vantorel {

namespace {

constexpr double buildTimeoutSeconds = 95;

[[noreturn]] void invalid() { throw BridgeFailure(BridgeFailureCase::invalidResponse); }

template <typename T>
const T& required(const std::optional<T>& field) {
    if (!field) invalid();
    return *field;
}

// Through the plan model's own encoding, so the bridge gets exactly what the
// page was shown.
template <typename T>
Json asJsonArray(const std::vector<T>& items) {
    Json encoded = Json::array();
    for (const auto& item : items) {
        Json one;
        to_json(one, item);
        encoded.push_back(std::move(one));
    }
    return encoded;
}

Json confirmed(std::int64_t expectedRevision) { return Json{{"expectedRevision", expectedRevision}, {"confirm", true}}; }

}  // namespace

Json execute(const SafePlanAction& action, std::int64_t expectedRevision, const BridgeSend& send,
             std::optional<double> arrangementStart) {
    Json body = confirmed(expectedRevision);
    switch (action.command) {
        case SafeActionCommand::analyze: return send("/v1/analysis/mix-prep", "GET", std::nullopt, std::nullopt);
        case SafeActionCommand::organize: return send("/v1/workflows/organize", "POST", body, std::nullopt);
        case SafeActionCommand::buildArrangement:
            if (action.arrangementSections) body["sections"] = asJsonArray(*action.arrangementSections);
            if (action.sourceSceneIndex) body["sourceSceneIndex"] = *action.sourceSceneIndex;
            return send("/v1/arrangement/build", "POST", body, buildTimeoutSeconds);
        case SafeActionCommand::importSample: {
            const std::string& query = required(action.sampleQuery);
            const std::string& role = required(action.sampleRole);
            double start = 0;
            if (action.arrangementRelativeStart && arrangementStart) {
                start = *arrangementStart + *action.arrangementRelativeStart;
            } else {
                start = required(action.startTime);
            }
            body["query"] = query;
            body["role"] = role;
            body["startTime"] = start;
            return send("/v1/samples/import", "POST", body, std::nullopt);
        }
        case SafeActionCommand::play: return send("/v1/transport/play", "POST", Json::object(), std::nullopt);
        case SafeActionCommand::stop: return send("/v1/transport/stop", "POST", Json::object(), std::nullopt);
        case SafeActionCommand::tempo: {
            double tempo = required(action.tempo);
            if (!(tempo >= 40 && tempo <= 240)) invalid();
            return send("/v1/tempo", "POST", Json{{"tempo", tempo}, {"expectedRevision", expectedRevision}},
                        std::nullopt);
        }
        case SafeActionCommand::createMidiTrack:
        case SafeActionCommand::createAudioTrack:
            body["kind"] = action.command == SafeActionCommand::createMidiTrack ? "midi" : "audio";
            if (action.name) body["name"] = *action.name;
            return send("/v1/tracks/create", "POST", body, std::nullopt);
        case SafeActionCommand::createMidiClip:
            body["trackIndex"] = required(action.trackIndex);
            body["startTime"] = required(action.startTime);
            body["length"] = required(action.length);
            body["notes"] = action.notes ? asJsonArray(*action.notes) : Json::array();
            if (action.name) body["name"] = *action.name;
            return send("/v1/clips/midi", "POST", body, std::nullopt);
        case SafeActionCommand::replaceMidiClip:
            body["trackIndex"] = required(action.trackIndex);
            if (action.notes) {
                body["notes"] = asJsonArray(*action.notes);
                if (action.name) body["name"] = *action.name;
                return send("/v1/clips/midi/replace", "POST", body, std::nullopt);
            }
            body["style"] = required(action.state);
            return send("/v1/clips/midi/evolve", "POST", body, std::nullopt);
        case SafeActionCommand::renameTrack:
            body["trackIndex"] = required(action.trackIndex);
            body["name"] = required(action.name);
            return send("/v1/tracks/rename", "POST", body, std::nullopt);
        case SafeActionCommand::trackState:
            body["trackIndex"] = required(action.trackIndex);
            body["field"] = required(action.state);
            body["enabled"] = required(action.enabled);
            return send("/v1/tracks/state", "POST", body, std::nullopt);
        case SafeActionCommand::trackVolume:
            body["trackIndex"] = required(action.trackIndex);
            body["displayDb"] = required(action.displayDb);
            return send("/v1/tracks/volume", "POST", body, std::nullopt);
        case SafeActionCommand::undo: return send("/v1/undo", "POST", Json{{"confirm", true}}, std::nullopt);
        case SafeActionCommand::listenMaster: break;
    }
    invalid();
}

Json execute(const SafePlanAction& action, std::int64_t expectedRevision, const BridgeClient& bridge,
             std::optional<double> arrangementStart) {
    return execute(
        action, expectedRevision,
        [&bridge](std::string_view path, std::string_view method, const std::optional<Json>& body,
                  std::optional<double> timeout) { return bridge.request(path, method, body, timeout); },
        arrangementStart);
}

}  // namespace vantorel
