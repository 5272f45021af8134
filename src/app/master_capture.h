// The pieces of a master capture that need neither the bridge nor the loop:
// checking the step, the deadline, reading status replies and dressing the
// measurement of the recorded file.
#pragma once

#include "planning/plan.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel::master_capture {

inline constexpr std::string_view kScope = "renderedMasterResampling";
inline constexpr std::string_view kNotice =
    "Mesure locale de la sortie master réellement rendue par Ableton, avec devices, retours et traitements master "
    "actifs.";
inline constexpr std::string_view kCleanupWarning =
    "Supprime manuellement la piste __Vantorel Master Listen — temporary__.";
inline constexpr std::string_view kTimedOutText = "La capture master a dépassé le délai prévu.";
inline constexpr std::string_view kFailedText = "La capture master a échoué.";

inline constexpr int kMaximumBars = 32;
inline constexpr std::chrono::milliseconds kPollInterval{500};

struct CaptureRequest {
    int bars = 0;
    double startTime = 0;
};

// The step's bars (a whole number from 1 to 32) and start; throws
// BridgeFailure::invalidResponse otherwise, before anything reaches Live.
CaptureRequest checkedRequest(const SafePlanAction& action);

// How long the capture may take before it is abandoned: the recording's
// expected duration (at least 5 s) plus 20 s. Tempo comes from the session
// snapshot (120 when unknown), floored at 20 BPM, Live's lowest, so a slow
// song is never cut short; beats per bar from the context's projectAnalysis
// when positive, else 4, so 7/4 gets its seventh beat.
std::chrono::milliseconds deadline(int bars, const nlohmann::json* snapshot, const nlohmann::json* context);

// A status reply read: nothing when it is not an object with a string status.
struct Status {
    std::string status;
    double progress = 0;  // 0 when absent or not a number
    std::optional<std::string> filePath;
    std::optional<std::string> errorMessage;  // error.message of a failed job
};
std::optional<Status> readStatus(const nlohmann::json& reply);

// The "masterCaptureProgress" value of one status reply.
nlohmann::json progressEvent(const std::string& jobId, const Status& status, int bars);

// The analyzer's dictionary made the master's: scope, notice, project and
// bars. project is the snapshot's name, else "Projet Ableton".
nlohmann::json measurement(nlohmann::json analyzed, const nlohmann::json* snapshot, int bars);
// The cleanup's outcome added to a measurement.
void addCleanup(nlohmann::json& measurement, bool removed);

}  // namespace vantorel::master_capture
