#include "common/json.h"
#include "common/regex.h"
#include "common/text.h"
#include "mcp/catalogue.h"
#include "mcp/server_error.h"

#include <algorithm>
#include <cmath>

namespace vantorel::VantorelMCP {

using json::Json;

namespace {

[[noreturn]] void refuse(std::string message) { throw MCPServerError::invalidArguments(std::move(message)); }

bool has(const Json& arguments, std::string_view key) { return json::member(arguments, key) != nullptr; }

void requireEmpty(const Json& arguments) {
    if (!arguments.empty()) refuse("This tool does not accept arguments.");
}

void requireIntegerIn(const Json& arguments, std::string_view key, long long low, long long high,
                      std::string_view message) {
    long long value = integer(arguments, key);
    if (value < low || value > high) refuse(std::string(message));
}

// An array whose every element is an object, or nothing.
std::optional<std::size_t> objectArraySize(const Json& arguments, std::string_view key) {
    const Json* value = json::member(arguments, key);
    if (!value || !value->is_array()) return std::nullopt;
    for (const auto& element : *value) {
        if (!element.is_object()) return std::nullopt;
    }
    return value->size();
}

void validateNotes(const Json& arguments) {
    if (!has(arguments, "notes")) return;
    auto count = objectArraySize(arguments, "notes");
    if (!count) refuse("notes must be an array.");
    if (*count > 512) refuse("A MIDI clip can contain at most 512 notes per call.");
}

}  // namespace

std::string string(const Json& arguments, std::string_view key, std::size_t maximumLength) {
    const Json* value = json::member(arguments, key);
    if (!value || !value->is_string()) refuse(std::string(key) + " must be a string.");
    std::string trimmed = text::trim(value->get_ref<const std::string&>());
    std::size_t length = text::graphemeCount(trimmed);
    if (length < 1 || length > maximumLength) {
        refuse(std::string(key) + " must contain 1 to " + std::to_string(maximumLength) + " characters.");
    }
    return trimmed;
}

double number(const Json& arguments, std::string_view key) {
    const Json* value = json::member(arguments, key);
    if (!value || !value->is_number()) refuse(std::string(key) + " must be a number.");
    return value->get<double>();
}

long long integer(const Json& arguments, std::string_view key) {
    double value = number(arguments, key);
    const Json& raw = *json::member(arguments, key);
    if (raw.is_number_integer()) {
        // Exact for the whole int64 range, which a double could not hold.
        if (auto exact = json::asInteger(raw); exact && *exact >= 0) return *exact;
    } else if (value >= 0 && value == std::trunc(value) && value < 9223372036854775808.0) {
        return static_cast<long long>(value);
    }
    refuse(std::string(key) + " must be a non-negative integer.");
}

void requireConfirmation(const Json& arguments) {
    const Json* value = json::member(arguments, "confirm");
    if (!value || !value->is_boolean() || !value->get<bool>()) {
        refuse("Explicit user confirmation is required. Ask the user, then call again with confirm=true.");
    }
}

std::string validateJobId(const Json& arguments) {
    std::string jobId = string(arguments, "jobId", 80);
    if (!regex::contains("^master_[a-f0-9]{32}$", jobId)) refuse("jobId is not a valid Vantorel master-listen id.");
    return jobId;
}

void validateArguments(std::string_view fullName, const Json& arguments) {
    constexpr std::string_view prefix = "vantorel_";
    if (fullName.substr(0, prefix.size()) != prefix) refuse("Unknown Vantorel tool: " + std::string(fullName));
    std::string_view name = fullName.substr(prefix.size());

    if (name == "get_session" || name == "get_context" || name == "analyze_project" ||
        name == "analyze_mix_preparation" || name == "find_key" || name == "listen_selected_clip") {
        requireEmpty(arguments);
    } else if (name == "search_samples") {
        if (has(arguments, "query")) string(arguments, "query", 200);
        if (auto role = json::text(arguments, "role")) {
            if (std::find(sampleRoles.begin(), sampleRoles.end(), *role) == sampleRoles.end()) {
                refuse("role is not supported.");
            }
        }
        if (has(arguments, "limit")) requireIntegerIn(arguments, "limit", 1, 40, "limit must be between 1 and 40.");
    } else if (name == "get_device_parameters") {
        integer(arguments, "trackIndex");
        integer(arguments, "deviceIndex");
    } else if (name == "get_master_listen") {
        validateJobId(arguments);
    } else if (name == "start_master_listen") {
        requireConfirmation(arguments);
        requireIntegerIn(arguments, "bars", 1, 32, "bars must be between 1 and 32.");
        if (number(arguments, "startTime") < 0) refuse("startTime must be zero or greater.");
        integer(arguments, "expectedRevision");
    } else if (name == "cancel_master_listen") {
        requireConfirmation(arguments);
        validateJobId(arguments);
    } else if (name == "play" || name == "stop" || name == "undo_last_organization") {
        requireConfirmation(arguments);
    } else if (name == "set_tempo") {
        requireConfirmation(arguments);
        double tempo = number(arguments, "tempo");
        if (!(tempo >= 40 && tempo <= 240)) refuse("tempo must be between 40 and 240 BPM.");
        integer(arguments, "expectedRevision");
    } else if (name == "organize_tracks" || name == "build_arrangement") {
        requireConfirmation(arguments);
        integer(arguments, "expectedRevision");
    } else if (name == "create_midi_track" || name == "create_audio_track") {
        requireConfirmation(arguments);
        integer(arguments, "expectedRevision");
        if (has(arguments, "index")) integer(arguments, "index");
        if (has(arguments, "name")) string(arguments, "name", 96);
    } else if (name == "import_sample") {
        requireConfirmation(arguments);
        std::string sampleId = string(arguments, "sampleId", 24);
        if (!regex::contains("^[a-f0-9]{24}$", sampleId)) refuse("sampleId must come from vantorel_search_samples.");
        if (number(arguments, "startTime") < 0) refuse("startTime must be zero or greater.");
        integer(arguments, "expectedRevision");
        if (has(arguments, "trackName")) string(arguments, "trackName", 96);
    } else if (name == "create_midi_clip") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        double startTime = number(arguments, "startTime");
        double length = number(arguments, "length");
        if (startTime < 0 || length <= 0 || length > 4096) refuse("Invalid MIDI clip position or length.");
        integer(arguments, "expectedRevision");
        if (has(arguments, "name")) string(arguments, "name", 96);
        validateNotes(arguments);
    } else if (name == "replace_selected_midi_clip") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        integer(arguments, "expectedRevision");
        if (has(arguments, "name")) string(arguments, "name", 96);
        auto count = objectArraySize(arguments, "notes");
        if (!count || *count < 1 || *count > 512) refuse("notes must contain between 1 and 512 MIDI notes.");
    } else if (name == "rename_track") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        string(arguments, "name", 96);
        integer(arguments, "expectedRevision");
    } else if (name == "select_track") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        integer(arguments, "expectedRevision");
    } else if (name == "set_track_state") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        std::string field = string(arguments, "field", 96);
        const Json* enabled = json::member(arguments, "enabled");
        if ((field != "mute" && field != "solo" && field != "arm") || !enabled || !enabled->is_boolean()) {
            refuse("field must be mute, solo or arm, and enabled must be boolean.");
        }
        integer(arguments, "expectedRevision");
    } else if (name == "set_track_volume") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        double displayDb = number(arguments, "displayDb");
        if (!(displayDb >= -70 && displayDb <= 6)) refuse("displayDb must be between -70 and +6 dB.");
        integer(arguments, "expectedRevision");
    } else if (name == "set_device_parameter") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        integer(arguments, "deviceIndex");
        integer(arguments, "parameterIndex");
        number(arguments, "value");
        integer(arguments, "expectedRevision");
    } else if (name == "set_send_level") {
        requireConfirmation(arguments);
        integer(arguments, "trackIndex");
        integer(arguments, "sendIndex");
        double displayDb = number(arguments, "displayDb");
        if (!(displayDb >= -70 && displayDb <= 0)) refuse("displayDb must be between -70 and 0 dB.");
        integer(arguments, "expectedRevision");
    } else {
        refuse("Unknown Vantorel tool: " + std::string(fullName));
    }
}

}  // namespace vantorel::VantorelMCP
