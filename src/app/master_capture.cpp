#include "app/master_capture.h"

#include "app/key_message.h"
#include "bridge/failure.h"
#include "common/json.h"

#include <algorithm>
#include <cmath>

namespace vantorel::master_capture {

namespace {

constexpr double kLowestTempo = 20;  // Live accepts nothing slower
constexpr double kUnknownTempo = 120;
constexpr double kDefaultBeatsPerBar = 4;
constexpr double kShortestRecording = 5;
constexpr double kGrace = 20;

}  // namespace

CaptureRequest checkedRequest(const SafePlanAction& action) {
    const auto& length = action.length;
    if (!length || !std::isfinite(*length) || *length != std::trunc(*length) || *length < 1 ||
        *length > kMaximumBars || !action.startTime) {
        throw BridgeFailure(BridgeFailureCase::invalidResponse);
    }
    return {static_cast<int>(*length), *action.startTime};
}

std::chrono::milliseconds deadline(int bars, const nlohmann::json* snapshot, const nlohmann::json* context) {
    double tempo = kUnknownTempo;
    if (snapshot != nullptr) {
        if (auto found = json::number(*snapshot, "tempo")) {
            // A NaN compares with nothing: it counts as the floor too.
            tempo = *found >= kLowestTempo ? *found : kLowestTempo;
        }
    }
    double beatsPerBar = kDefaultBeatsPerBar;
    if (context != nullptr) {
        if (const auto* analysis = json::object(*context, "projectAnalysis")) {
            auto found = json::number(*analysis, "beatsPerBar");
            if (found && std::isfinite(*found) && *found > 0) beatsPerBar = *found;
        }
    }
    double expected = bars * beatsPerBar * 60 / tempo;
    double seconds = std::max(expected, kShortestRecording) + kGrace;
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

std::optional<Status> readStatus(const nlohmann::json& reply) {
    auto status = json::text(reply, "status");
    if (!status) return std::nullopt;
    Status read;
    read.status = std::move(*status);
    read.progress = json::number(reply, "progress", 0.0);
    read.filePath = json::text(reply, "filePath");
    if (const auto* error = json::object(reply, "error")) read.errorMessage = json::text(*error, "message");
    return read;
}

nlohmann::json progressEvent(const std::string& jobId, const Status& status, int bars) {
    return {{"jobId", jobId}, {"status", status.status}, {"progress", status.progress}, {"bars", bars}};
}

nlohmann::json measurement(nlohmann::json analyzed, const nlohmann::json* snapshot, int bars) {
    analyzed["scope"] = kScope;
    analyzed["measurementNotice"] = kNotice;
    analyzed["project"] = snapshot != nullptr ? json::text(*snapshot, "project", kDefaultProjectName)
                                              : std::string(kDefaultProjectName);
    analyzed["captureBars"] = bars;
    return analyzed;
}

void addCleanup(nlohmann::json& measurement, bool removed) {
    measurement["temporaryTrackRemoved"] = removed;
    if (!removed) measurement["cleanupWarning"] = kCleanupWarning;
}

}  // namespace vantorel::master_capture
