// The bridge's HTTP interface as both clients use it: addresses, headers,
// endpoints and the capabilities a bridge must announce.
#pragma once

#include <array>
#include <string_view>

namespace vantorel::bridge {

inline constexpr std::string_view defaultHost = "127.0.0.1";
inline constexpr int defaultPort = 32123;
inline constexpr std::string_view defaultBridgeUrl = "http://127.0.0.1:32123";

namespace header {
inline constexpr std::string_view token = "X-Vantorel-Token";
inline constexpr std::string_view requestId = "X-Vantorel-Request-Id";
}  // namespace header

namespace endpoint {
inline constexpr std::string_view health = "/v1/health";
inline constexpr std::string_view context = "/v1/context";
inline constexpr std::string_view session = "/v1/session";
inline constexpr std::string_view projectAnalysis = "/v1/analysis/project";
inline constexpr std::string_view mixPrep = "/v1/analysis/mix-prep";
inline constexpr std::string_view keySource = "/v1/key-source";
inline constexpr std::string_view arrangementPlan = "/v1/arrangement/plan";
inline constexpr std::string_view arrangementBuild = "/v1/arrangement/build";
inline constexpr std::string_view organize = "/v1/workflows/organize";
inline constexpr std::string_view samplesSearch = "/v1/samples/search";
inline constexpr std::string_view samplesImport = "/v1/samples/import";
inline constexpr std::string_view play = "/v1/transport/play";
inline constexpr std::string_view stop = "/v1/transport/stop";
inline constexpr std::string_view tempo = "/v1/tempo";
inline constexpr std::string_view createTrack = "/v1/tracks/create";
inline constexpr std::string_view createMidiClip = "/v1/clips/midi";
inline constexpr std::string_view replaceMidiNotes = "/v1/clips/midi/replace";
inline constexpr std::string_view evolveMidiClip = "/v1/clips/midi/evolve";
inline constexpr std::string_view renameTrack = "/v1/tracks/rename";
inline constexpr std::string_view selectTrack = "/v1/tracks/select";
inline constexpr std::string_view trackState = "/v1/tracks/state";
inline constexpr std::string_view trackVolume = "/v1/tracks/volume";
inline constexpr std::string_view trackSend = "/v1/tracks/send";
inline constexpr std::string_view readParameters = "/v1/devices/parameters/read";
inline constexpr std::string_view writeParameter = "/v1/devices/parameters";
inline constexpr std::string_view undo = "/v1/undo";
inline constexpr std::string_view masterCaptureStart = "/v1/master-capture/start";
inline constexpr std::string_view masterCaptureStatus = "/v1/master-capture/status";
inline constexpr std::string_view masterCaptureCancel = "/v1/master-capture/cancel";
inline constexpr std::string_view masterCaptureCleanup = "/v1/master-capture/cleanup";
}  // namespace endpoint

// Per-request time limits of the app, in seconds.
namespace timeout {
inline constexpr double standard = 60;
inline constexpr double arrangementBuild = 95;
inline constexpr double arrangementPrecheck = 20;
// The session's limits: silence for a request that sets none, and the cap on
// any request's whole duration.
inline constexpr double sessionIdle = 12;
inline constexpr double sessionResource = 120;
}  // namespace timeout

inline constexpr std::string_view minimumVersion = "0.17.10";

inline constexpr std::array<std::string_view, 18> requiredCapabilities = {
    "project.analyze",        "mix_prep.analyze",        "context.live",           "key.source.audio",
    "key.source.midi",        "tracks.create.midi",      "clips.create.midi",      "clips.notes.replace",
    "clips.notes.evolve",     "arrangement.build.club",  "arrangement.build.undo", "samples.library.search",
    "samples.library.import", "devices.parameters.read", "devices.parameters.write", "tracks.sends.write",
    "tracks.semantic_rename", "clips.color.sync",
};

}  // namespace vantorel::bridge
