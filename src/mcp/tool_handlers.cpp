#include "mcp/tool_handlers.h"

#include "analysis/local_audio_analyzer.h"
#include "analysis/musical_key_analyzer.h"
#include "bridge/compatibility.h"
#include "common/error.h"
#include "mcp/catalogue.h"
#include "mcp/server_error.h"

#include <optional>
#include <string>
#include <vector>

namespace vantorel::VantorelMCP {

using json::Json;

namespace {

MCPServerError invalidResponse() { return MCPServerError(MCPServerErrorCase::invalidBridgeResponse); }

// Body fields taken from the arguments exactly as the agent sent them.
void copyArgument(Json& body, const Json& arguments, std::string_view key) {
    if (const Json* value = json::member(arguments, key)) body[std::string(key)] = *value;
}

struct KeySource {
    std::optional<std::string> kind;
    std::optional<std::string> filePath;
    std::optional<std::vector<double>> pitchClasses;
    double transposeSemitones = 0;
    double startSeconds = 0;
    std::optional<double> durationSeconds;
    std::string track = "Selected track";
    std::string clip = "Selected clip";
    std::string project = "Untitled";
    Json revision = 0;
};

KeySource readKeySource(const Json& result) {
    KeySource source;
    source.kind = json::text(result, "kind");
    source.filePath = json::text(result, "filePath");
    if (const Json* classes = json::member(result, "pitchClasses"); classes && classes->is_array()) {
        std::vector<double> values;
        bool numbers = true;
        for (const auto& value : *classes) {
            if (!value.is_number()) {
                numbers = false;
                break;
            }
            values.push_back(value.get<double>());
        }
        if (numbers) source.pitchClasses = std::move(values);
    }
    source.transposeSemitones = json::number(result, "transposeSemitones", 0);
    if (const Json* range = json::object(result, "analysisRange")) {
        source.startSeconds = json::number(*range, "startSeconds", 0);
        source.durationSeconds = json::number(*range, "durationSeconds");
    }
    source.track = json::text(result, "track", source.track);
    source.clip = json::text(result, "clip", source.clip);
    source.project = json::text(result, "project", source.project);
    if (const Json* revision = json::member(result, "revision"); revision && revision->is_number()) {
        source.revision = *revision;
    }
    return source;
}

Json findKey(const MCPBridgeClient& bridge) {
    Json result = bridge.request("/v1/key-source", "GET", std::nullopt, 6);
    if (!result.is_object() || !json::text(result, "kind")) throw invalidResponse();
    KeySource source = readKeySource(result);
    KeyDetection detection;
    if (*source.kind == "audio") {
        if (!source.filePath) throw invalidResponse();
        detection = MusicalKeyAnalyzer::analyzeAudio(*source.filePath, source.transposeSemitones, source.startSeconds,
                                                     source.durationSeconds);
    } else if (*source.kind == "midi") {
        if (!source.pitchClasses) throw invalidResponse();
        detection = MusicalKeyAnalyzer::detect(*source.pitchClasses, source.transposeSemitones, 0);
    } else {
        throw invalidResponse();
    }
    return Json{
        {"key", detection.key},         {"confidence", detection.confidence},
        {"analyzedSeconds", detection.analyzedSeconds},
        {"track", source.track},        {"clip", source.clip},
        {"kind", *source.kind},         {"project", source.project},
        {"revision", source.revision},
    };
}

Json listenSelectedClip(const MCPBridgeClient& bridge) {
    Json result = bridge.request("/v1/key-source", "GET", std::nullopt, 6);
    KeySource source = result.is_object() ? readKeySource(result) : KeySource{};
    if (source.kind != "audio" || !source.filePath) {
        throw MCPServerError::invalidArguments(
            "Select an audio clip in Ableton before asking Vantorel to listen. MIDI clips do not contain audio to "
            "decode.");
    }
    AudioMeasurement measurement = LocalAudioAnalyzer::analyze(*source.filePath, source.transposeSemitones,
                                                               source.startSeconds, source.durationSeconds);
    Json value = measurement.dictionary();
    value["track"] = source.track;
    value["clip"] = source.clip;
    value["project"] = source.project;
    value["revision"] = source.revision;
    return value;
}

Json post(const MCPBridgeClient& bridge, std::string_view path, Json body, double timeout) {
    return bridge.request(path, "POST", std::move(body), timeout);
}

Json createTrack(const MCPBridgeClient& bridge, const Json& arguments, std::string_view kind) {
    Json body = {{"kind", kind}, {"expectedRevision", integer(arguments, "expectedRevision")}, {"confirm", true}};
    copyArgument(body, arguments, "index");
    copyArgument(body, arguments, "name");
    return post(bridge, "/v1/tracks/create", std::move(body), 6);
}

// The tool's value; the name is one that validation accepted.
Json run(const MCPBridgeClient& bridge, std::string_view name, const Json& a) {
    auto revision = [&] { return integer(a, "expectedRevision"); };
    if (name == "get_session") return bridge.request("/v1/session", "GET", std::nullopt, 6);
    if (name == "get_context") return bridge.request("/v1/context", "GET", std::nullopt, 10);
    if (name == "analyze_project") return bridge.request("/v1/analysis/project", "GET", std::nullopt, 6);
    if (name == "analyze_mix_preparation") return bridge.request("/v1/analysis/mix-prep", "GET", std::nullopt, 6);
    if (name == "get_device_parameters") {
        return post(bridge, "/v1/devices/parameters/read",
                    {{"trackIndex", integer(a, "trackIndex")}, {"deviceIndex", integer(a, "deviceIndex")}}, 6);
    }
    if (name == "find_key") return findKey(bridge);
    if (name == "listen_selected_clip") return listenSelectedClip(bridge);
    if (name == "start_master_listen") {
        return post(bridge, "/v1/master-capture/start",
                    {{"bars", integer(a, "bars")},
                     {"startTime", number(a, "startTime")},
                     {"expectedRevision", revision()},
                     {"confirm", true}},
                    6);
    }
    if (name == "cancel_master_listen") {
        return post(bridge, "/v1/master-capture/cancel", {{"jobId", validateJobId(a)}, {"confirm", true}}, 6);
    }
    if (name == "play") return post(bridge, "/v1/transport/play", Json::object(), 6);
    if (name == "stop") return post(bridge, "/v1/transport/stop", Json::object(), 6);
    if (name == "set_tempo") {
        return post(bridge, "/v1/tempo", {{"tempo", number(a, "tempo")}, {"expectedRevision", revision()}}, 6);
    }
    if (name == "organize_tracks") {
        return post(bridge, "/v1/workflows/organize", {{"expectedRevision", revision()}, {"confirm", true}}, 6);
    }
    if (name == "build_arrangement") {
        return post(bridge, "/v1/arrangement/build", {{"expectedRevision", revision()}, {"confirm", true}}, 20);
    }
    if (name == "create_midi_track") return createTrack(bridge, a, "midi");
    if (name == "create_audio_track") return createTrack(bridge, a, "audio");
    if (name == "search_samples") {
        Json body = Json::object();
        copyArgument(body, a, "query");
        copyArgument(body, a, "role");
        copyArgument(body, a, "limit");
        return post(bridge, "/v1/samples/search", std::move(body), 20);
    }
    if (name == "import_sample") {
        Json body = {{"sampleId", string(a, "sampleId", 24)},
                     {"startTime", number(a, "startTime")},
                     {"expectedRevision", revision()},
                     {"confirm", true}};
        copyArgument(body, a, "trackName");
        return post(bridge, "/v1/samples/import", std::move(body), 20);
    }
    if (name == "create_midi_clip") {
        Json body = {{"trackIndex", integer(a, "trackIndex")},
                     {"startTime", number(a, "startTime")},
                     {"length", number(a, "length")},
                     {"expectedRevision", revision()},
                     {"confirm", true}};
        copyArgument(body, a, "name");
        copyArgument(body, a, "notes");
        return post(bridge, "/v1/clips/midi", std::move(body), 10);
    }
    if (name == "replace_selected_midi_clip") {
        Json body = {{"trackIndex", integer(a, "trackIndex")}, {"expectedRevision", revision()}, {"confirm", true}};
        copyArgument(body, a, "notes");
        copyArgument(body, a, "name");
        return post(bridge, "/v1/clips/midi/replace", std::move(body), 10);
    }
    if (name == "rename_track") {
        return post(bridge, "/v1/tracks/rename",
                    {{"trackIndex", integer(a, "trackIndex")},
                     {"name", string(a, "name", 96)},
                     {"expectedRevision", revision()},
                     {"confirm", true}},
                    6);
    }
    if (name == "select_track") {
        return post(bridge, "/v1/tracks/select",
                    {{"trackIndex", integer(a, "trackIndex")}, {"expectedRevision", revision()}, {"confirm", true}}, 6);
    }
    if (name == "set_track_state") {
        return post(bridge, "/v1/tracks/state",
                    {{"trackIndex", integer(a, "trackIndex")},
                     {"field", string(a, "field", 96)},
                     {"enabled", a.at("enabled").get<bool>()},
                     {"expectedRevision", revision()},
                     {"confirm", true}},
                    6);
    }
    if (name == "set_track_volume") {
        return post(bridge, "/v1/tracks/volume",
                    {{"trackIndex", integer(a, "trackIndex")},
                     {"displayDb", number(a, "displayDb")},
                     {"expectedRevision", revision()},
                     {"confirm", true}},
                    6);
    }
    if (name == "set_device_parameter") {
        return post(bridge, "/v1/devices/parameters",
                    {{"trackIndex", integer(a, "trackIndex")},
                     {"deviceIndex", integer(a, "deviceIndex")},
                     {"parameterIndex", integer(a, "parameterIndex")},
                     {"value", number(a, "value")},
                     {"expectedRevision", revision()},
                     {"confirm", true}},
                    6);
    }
    if (name == "set_send_level") {
        return post(bridge, "/v1/tracks/send",
                    {{"trackIndex", integer(a, "trackIndex")},
                     {"sendIndex", integer(a, "sendIndex")},
                     {"displayDb", number(a, "displayDb")},
                     {"expectedRevision", revision()},
                     {"confirm", true}},
                    6);
    }
    if (name == "undo_last_organization") return post(bridge, "/v1/undo", Json::object(), 6);
    throw MCPServerError::invalidArguments("Unknown Vantorel tool: vantorel_" + std::string(name));
}

}  // namespace

Json toolResult(const Json& value, bool isError) {
    Json structured = value.is_object() ? value : Json{{"value", value}};
    std::string text;
    try {
        text = json::pretty(structured);
    } catch (const std::exception&) {
        text = "{}";
    }
    return Json{
        {"content", Json::array({Json{{"type", "text"}, {"text", text}}})},
        {"structuredContent", std::move(structured)},
        {"isError", isError},
    };
}

Json errorValue(const std::exception& error) {
    if (const auto* known = dynamic_cast<const Error*>(&error)) {
        return Json{{"error", {{"type", known->type()}, {"message", known->description()}}}};
    }
    return Json{{"error", {{"type", "Error"}, {"message", error.what()}}}};
}

void requireCompatibleBridge(const MCPBridgeClient& bridge) {
    Json health = bridge.request("/v1/health", "GET", std::nullopt, 6);
    auto version = json::text(health, "bridgeVersion");
    const Json* listed = json::member(health, "capabilities");
    if (!version || !listed || !listed->is_array()) throw invalidResponse();
    std::vector<std::string> capabilities;
    for (const auto& capability : *listed) {
        if (!capability.is_string()) throw invalidResponse();
        capabilities.push_back(capability.get<std::string>());
    }
    if (!VantorelBridgeCompatibility::supports(*version, capabilities)) {
        throw MCPServerError::bridgeIncompatible("VantorelBridge " + *version +
                                                 " is outdated. Open Vantorel, reinstall the Ableton bridge, save the "
                                                 "project and restart Ableton before using Vantorel actions.");
    }
}

Json callTool(std::string_view name, const Json& arguments) {
    try {
        validateArguments(name, arguments);
        MCPBridgeClient bridge;
        requireCompatibleBridge(bridge);
        std::string_view shortName = name.substr(std::string_view("vantorel_").size());
        if (shortName == "get_master_listen") return masterListenStatus(bridge, arguments);
        return toolResult(run(bridge, shortName, arguments), false);
    } catch (const std::exception& error) {
        return toolResult(errorValue(error), true);
    }
}

}  // namespace vantorel::VantorelMCP
