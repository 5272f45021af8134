// Compaction of the live context before it goes into an agent prompt.
//
// A live context can hold dozens of tracks with every clip, device and
// parameter. The compacted form keeps an overview of every track but
// details only the track that matters (the selected one, or the one the
// producer names by number) and the master, and says what it dropped
// (`clipDetailsOmitted`, `devicesOmitted`, `parametersOmitted`,
// `parameterCount`) so the agent can say what it does not see rather than
// guess. Only `projectAnalysis.tracks`, `returnTracks` and `masterTrack` are
// rewritten, and `contextCompaction` is added; every other key passes
// through. Pure functions, safe from any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantorel::EmbeddedAgentClient {

inline constexpr int kDetailedClipSamples = 18;
inline constexpr int kBackgroundClipSamples = 6;
inline constexpr int kDetailedDeviceLimit = 12;
inline constexpr int kBackgroundDeviceLimit = 8;
inline constexpr int kDetailedParameterLimitPerDevice = 16;

// The zero-based index of the track the question names ("piste 3" → 2),
// counting from 1 as the producer does; nothing for "track 0", for four
// digits or without a number.
std::optional<std::int64_t> targetedTrackIndex(std::string_view question);

// The context with its project analysis compacted and its audio
// measurement's `loudnessCurve` dropped; nothing else changes in a context
// without a `projectAnalysis` object.
nlohmann::json compactedContext(const nlohmann::json& context, std::optional<std::string_view> question);

}  // namespace vantorel::EmbeddedAgentClient
