#include "agent/context_compaction.h"

#include "common/json.h"
#include "common/regex.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

namespace vantorel::EmbeddedAgentClient {

using json::Json;

namespace {

constexpr std::string_view kTrackPattern = "(?i)\\b(?:piste|track)\\s*(\\d{1,3})\\b";

// ICU's \d also matches other scripts' decimal digits, so the number is read
// digit by digit through ICU rather than with a C parser.
std::optional<std::int64_t> decimalValue(std::string_view digits) {
    const auto* data = reinterpret_cast<const uint8_t*>(digits.data());
    int32_t length = static_cast<int32_t>(digits.size());
    int32_t at = 0;
    std::int64_t value = 0;
    bool any = false;
    while (at < length) {
        UChar32 c;
        U8_NEXT(data, at, length, c);
        int32_t digit = c < 0 ? -1 : u_charDigitValue(c);
        if (digit < 0) return std::nullopt;
        value = value * 10 + digit;
        any = true;
    }
    return any ? std::optional<std::int64_t>(value) : std::nullopt;
}

bool isArrayOfObjects(const Json* value) {
    if (value == nullptr || !value->is_array()) return false;
    for (const auto& element : *value) {
        if (!element.is_object()) return false;
    }
    return true;
}

Json keepOnly(const Json& object, std::initializer_list<const char*> keys) {
    Json reduced = Json::object();
    for (const char* key : keys) {
        if (auto found = object.find(key); found != object.end()) reduced[key] = *found;
    }
    return reduced;
}

std::string keyPart(const Json& clip, const char* key) {
    auto found = clip.find(key);
    if (found == clip.end() || found->is_null()) return {};
    if (found->is_string()) return found->get<std::string>();
    return found->dump();
}

// Appended piece by piece: GCC 12 warns (-Wrestrict) on the chained
// operator+ in release builds.
std::string clipKey(const Json& clip) {
    std::string key = keyPart(clip, "name");
    key.append("|").append(keyPart(clip, "startTimeBeats")).append("|").append(keyPart(clip, "endTimeBeats"));
    return key;
}

bool isTrue(const Json& object, const char* key) { return json::flag(object, key, false); }

// Tracks are rebuilt from the original rather than copied and trimmed: a
// large set's analysis holds megabytes of clips and parameters that the
// compacted form never keeps.

void compactClips(const Json& clips, int limit, Json& out) {
    std::size_t count = clips.size();
    std::vector<const Json*> kept;
    if (count <= static_cast<std::size_t>(limit)) {
        for (const auto& clip : clips) kept.push_back(&clip);
    } else {
        // Clips the producer is working with come first, then an even spread
        // over the whole list (the first and the last clip always included).
        std::vector<const Json*> candidates;
        for (const auto& clip : clips) {
            if (isTrue(clip, "selected") || isTrue(clip, "playing") || isTrue(clip, "recording")) {
                candidates.push_back(&clip);
            }
        }
        std::size_t span = count - 1;
        std::size_t steps = static_cast<std::size_t>(limit - 1);
        for (std::size_t i = 0; i < static_cast<std::size_t>(limit); ++i) {
            // round(i × span / steps), halves away from zero, in integers.
            std::size_t position = (2 * i * span + steps) / (2 * steps);
            candidates.push_back(&clips[position]);
        }
        std::set<std::string> taken;
        for (const Json* clip : candidates) {
            if (kept.size() == static_cast<std::size_t>(limit)) break;
            if (!taken.insert(clipKey(*clip)).second) continue;
            kept.push_back(clip);
        }
    }
    Json reduced = Json::array();
    for (const Json* clip : kept) {
        reduced.push_back(keepOnly(*clip, {"name", "type", "startTimeBeats", "endTimeBeats", "lengthBeats", "playing",
                                           "recording", "selected"}));
    }
    if (kept.size() < count) out["clipDetailsOmitted"] = count - kept.size();
    out["clipDetails"] = std::move(reduced);
}

Json compactDevice(const Json& device, bool detailed) {
    const Json* parameters = json::member(device, "parameters");
    if (!isArrayOfObjects(parameters)) return device;
    Json out = Json::object();
    for (auto item = device.begin(); item != device.end(); ++item) {
        if (item.key() != "parameters") out[item.key()] = item.value();
    }
    std::size_t p = parameters->size();
    if (!detailed) {
        out["parameterCount"] = p;
        return out;
    }
    std::size_t cap = kDetailedParameterLimitPerDevice;
    out["parameters"] = Json(parameters->begin(), parameters->begin() + static_cast<std::ptrdiff_t>(std::min(p, cap)));
    if (p > cap) out["parametersOmitted"] = p - cap;
    return out;
}

void compactDevices(const Json& devices, bool detailed, Json& out) {
    std::size_t limit = detailed ? kDetailedDeviceLimit : kBackgroundDeviceLimit;
    std::size_t count = devices.size();
    Json kept = Json::array();
    for (std::size_t i = 0; i < count && i < limit; ++i) kept.push_back(compactDevice(devices[i], detailed));
    if (count > limit) out["devicesOmitted"] = count - limit;
    out["devices"] = std::move(kept);
}

Json reducedMixer(const Json& mixer) {
    Json reduced = Json::object();
    for (const char* key : {"volume", "panning"}) {
        if (const Json* control = json::object(mixer, key)) {
            reduced[key] = keepOnly(*control, {"value", "displayValue", "automated"});
        }
    }
    auto sends = mixer.find("sends");
    reduced["sends"] = sends != mixer.end() ? *sends : Json::array();
    return reduced;
}

bool isBackgroundOnlyKey(const std::string& key) {
    return key == "canBeArmed" || key == "deviceLimitApplied" || key == "frozen" || key == "inputRouting" ||
           key == "outputRouting";
}

Json compactTrack(const Json& track, bool detailed) {
    const Json* clips = json::member(track, "clipDetails");
    const Json* devices = json::member(track, "devices");
    bool compactsClips = isArrayOfObjects(clips);
    bool compactsDevices = isArrayOfObjects(devices);
    Json out = Json::object();
    for (auto item = track.begin(); item != track.end(); ++item) {
        const std::string& key = item.key();
        if (compactsClips && key == "clipDetails") continue;
        if (compactsDevices && key == "devices") continue;
        if (!detailed) {
            if (isBackgroundOnlyKey(key)) continue;
            if (key == "mixer" && item->is_object()) {
                out[key] = reducedMixer(*item);
                continue;
            }
            if (key == "meterWindow" && item->is_object()) {
                out[key] = keepOnly(*item, {"current", "maximum", "average", "observedSeconds"});
                continue;
            }
        }
        out[key] = item.value();
    }
    if (compactsClips) compactClips(*clips, detailed ? kDetailedClipSamples : kBackgroundClipSamples, out);
    if (compactsDevices) compactDevices(*devices, detailed, out);
    return out;
}

}  // namespace

std::optional<std::int64_t> targetedTrackIndex(std::string_view question) {
    auto match = regex::firstMatch(kTrackPattern, question);
    if (!match || !match->group(1)) return std::nullopt;
    auto number = decimalValue(*match->group(1));
    if (!number || *number < 1) return std::nullopt;
    return *number - 1;
}

// The measurement keeps its loudness and true-peak figures; the per-second
// loudness curve is for the page's plot and only costs the agent tokens.
Json withoutLoudnessCurve(Json context) {
    if (auto measurement = context.find("audioMeasurement");
        measurement != context.end() && measurement->is_object()) {
        measurement->erase("loudnessCurve");
    }
    return context;
}

Json compactedContext(const Json& context, std::optional<std::string_view> question) {
    const Json* found = json::object(context, "projectAnalysis");
    if (found == nullptr) return context.is_object() ? withoutLoudnessCurve(context) : context;
    const Json& original = *found;
    std::optional<std::int64_t> requested = question ? targetedTrackIndex(*question) : std::nullopt;

    const Json* tracks = json::member(original, "tracks");
    const Json* returns = json::member(original, "returnTracks");
    const Json* master = json::object(original, "masterTrack");
    bool compactsTracks = isArrayOfObjects(tracks);
    bool compactsReturns = isArrayOfObjects(returns);

    Json analysis = Json::object();
    for (auto item = original.begin(); item != original.end(); ++item) {
        const std::string& key = item.key();
        if ((compactsTracks && key == "tracks") || (compactsReturns && key == "returnTracks") ||
            (master != nullptr && key == "masterTrack")) {
            continue;
        }
        analysis[key] = item.value();
    }
    if (compactsTracks) {
        Json compacted = Json::array();
        for (const auto& track : *tracks) {
            bool detailed = json::flag(track, "selected", false);
            if (requested) {
                auto index = json::integer(track, "index");
                if (index && *index == *requested) detailed = true;
            }
            compacted.push_back(compactTrack(track, detailed));
        }
        analysis["tracks"] = std::move(compacted);
    }
    if (compactsReturns) {
        Json compacted = Json::array();
        for (const auto& track : *returns) compacted.push_back(compactTrack(track, false));
        analysis["returnTracks"] = std::move(compacted);
    }
    if (master != nullptr) analysis["masterTrack"] = compactTrack(*master, true);
    analysis["contextCompaction"] = {
        {"scope", "all-track overview plus detailed selected or explicitly requested track"},
        {"backgroundClipSamples", kBackgroundClipSamples},
        {"detailedClipSamples", kDetailedClipSamples},
        {"backgroundDeviceParameters", 0},
        {"detailedParameterLimitPerDevice", kDetailedParameterLimitPerDevice},
    };
    Json result = Json::object();
    for (auto item = context.begin(); item != context.end(); ++item) {
        if (item.key() != "projectAnalysis") result[item.key()] = item.value();
    }
    result["projectAnalysis"] = std::move(analysis);
    return withoutLoudnessCurve(std::move(result));
}

}  // namespace vantorel::EmbeddedAgentClient
