#include "mcp/catalogue.h"

#include "mcp/server_error.h"

#include <utility>
#include <vector>

namespace vantorel::VantorelMCP {

using json::Json;

const std::array<std::string_view, 11> sampleRoles = {
    "kick", "clap", "hat", "percussion", "bass", "chords", "lead", "vocal", "fx", "loop", "other",
};

namespace {

Json tool(std::string_view name, std::string_view description, Json properties, std::vector<std::string> required,
          bool readOnly, bool idempotent) {
    return Json{
        {"name", name},
        {"description", description},
        {"inputSchema",
         {{"type", "object"},
          {"properties", properties.is_null() ? Json::object() : std::move(properties)},
          {"required", required},
          {"additionalProperties", false}}},
        {"annotations",
         {{"readOnlyHint", readOnly},
          {"destructiveHint", false},
          {"idempotentHint", idempotent},
          {"openWorldHint", false}}},
    };
}

Json integerProperty(std::string_view description = {}) {
    Json schema = {{"type", "integer"}, {"minimum", 0}};
    if (!description.empty()) schema["description"] = description;
    return schema;
}

Json numberProperty(std::string_view description = {}) {
    Json schema = {{"type", "number"}};
    if (!description.empty()) schema["description"] = description;
    return schema;
}

const Json trackIndexProperty = integerProperty("Zero-based index from projectAnalysis.tracks.");
const Json revisionProperty = integerProperty("Revision returned by vantorel_get_context or vantorel_get_session.");
const Json sessionRevisionProperty = integerProperty("Revision returned by vantorel_get_session.");
const Json confirmProperty = {
    {"type", "boolean"},
    {"const", true},
    {"description", "Must be true only after the user explicitly approves this Ableton change."},
};
const Json jobIdProperty = {{"type", "string"}, {"pattern", "^master_[a-f0-9]{32}$"}};
const Json nameProperty = {{"type", "string"}, {"minLength", 1}, {"maxLength", 96}};

Json trackCreationProperties() {
    Json index = integerProperty("Optional zero-based insertion index. Omit to append.");
    return {{"index", index}, {"name", nameProperty}, {"expectedRevision", revisionProperty}, {"confirm", confirmProperty}};
}

Json midiNotesProperty() {
    Json note = {
        {"type", "object"},
        {"additionalProperties", false},
        {"required", {"pitch", "startTime", "duration"}},
        {"properties",
         {{"pitch", {{"type", "integer"}, {"minimum", 0}, {"maximum", 127}}},
          {"startTime", {{"type", "number"}, {"minimum", 0}}},
          {"duration", {{"type", "number"}, {"exclusiveMinimum", 0}}},
          {"velocity", {{"type", "number"}, {"minimum", 1}, {"maximum", 127}}},
          {"mute", {{"type", "boolean"}}},
          {"probability", {{"type", "number"}, {"minimum", 0}, {"maximum", 1}}}}},
    };
    return {{"type", "array"}, {"minItems", 1}, {"maxItems", 512}, {"items", note}};
}

Json buildCatalogue() {
    const Json none = Json::object();
    const Json confirmOnly = {{"confirm", confirmProperty}};
    Json roles = Json::array();
    for (auto role : sampleRoles) roles.push_back(role);

    Json list = Json::array();
    list.push_back(tool("vantorel_get_session",
                        "Read the active Ableton Live project name, playback state, tempo, global Ableton scale "
                        "metadata, track summary and revision. projectScale is metadata from Ableton and must never be "
                        "presented as an analyzed musical key.",
                        none, {}, true, true));
    list.push_back(tool("vantorel_get_context",
                        "Read Vantorel's automatically refreshed Ableton context: session, tracks, clips, devices, "
                        "selected parameters, returns, master, rolling meter windows and mix-preparation findings. Use "
                        "this before answering project-specific questions.",
                        none, {}, true, true));
    list.push_back(tool("vantorel_analyze_project",
                        "Inspect the active Ableton project structure, tracks, clips, devices, parameters, returns and "
                        "master. This is structural project data; it does not listen to rendered audio.",
                        none, {}, true, true));
    list.push_back(tool("vantorel_analyze_mix_preparation",
                        "Analyze session organization and mix-preparation issues such as naming, routing, gain staging "
                        "indicators, empty tracks and project hygiene.",
                        none, {}, true, true));
    list.push_back(tool("vantorel_get_device_parameters",
                        "Read up to 512 exposed parameters for one Ableton device, including indices, names, native "
                        "values, ranges, display strings and enabled state. Use the returned native range before "
                        "proposing a change.",
                        {{"trackIndex", trackIndexProperty},
                         {"deviceIndex", integerProperty("Zero-based device index from the selected track's devices.")}},
                        {"trackIndex", "deviceIndex"}, true, true));
    list.push_back(tool("vantorel_find_key",
                        "Analyze the selected Ableton audio or MIDI clip locally to estimate its musical key. For audio, "
                        "Vantorel listens to the source file; for MIDI, it analyzes note pitch classes. Select a "
                        "representative clip first.",
                        none, {}, true, true));
    list.push_back(tool("vantorel_listen_selected_clip",
                        "Decode and measure the selected Ableton audio clip locally. Returns sample peak, RMS, crest "
                        "factor, short-term dynamics, clipping, frequency-band balance, stereo correlation/width, "
                        "spectral centroid, waveform, key, and loudness as broadcast standards measure it: integrated "
                        "LUFS, loudness range (LU), short-term and momentary maxima, a per-second loudness curve and "
                        "true peak (dBTP). This measures the raw clip source before Ableton devices, "
                        "returns and master processing; it is not a rendered master measurement.",
                        none, {}, true, true));
    list.push_back(tool("vantorel_start_master_listen",
                        "After explicit confirmation, record Ableton's actual master output in real time through a "
                        "temporary audio track using Resampling. Ableton must be stopped. This plays the project, "
                        "writes a temporary track and records 1–32 bars. Tell the user how long the capture will take "
                        "at the current tempo before starting it.",
                        {{"bars",
                          {{"type", "integer"},
                           {"minimum", 1},
                           {"maximum", 32},
                           {"description", "Number of bars to capture in real time."}}},
                         {"startTime",
                          {{"type", "number"}, {"minimum", 0}, {"description", "Arrangement start position in beats."}}},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"bars", "startTime", "expectedRevision", "confirm"}, false, false));
    list.push_back(tool("vantorel_get_master_listen",
                        "Poll a confirmed master-listen job. While the capture is running it returns the recording's "
                        "progress. Once the recorded master file is ready it analyzes it locally, returns the measured "
                        "audio data (levels, dynamics, spectrum, stereo image, integrated loudness in LUFS, loudness "
                        "range, short-term and momentary maxima, loudness curve and true peak in dBTP) and removes the "
                        "temporary Ableton track.",
                        {{"jobId", jobIdProperty}}, {"jobId"}, true, true));
    list.push_back(tool("vantorel_cancel_master_listen",
                        "Stop and clean a running master-listen capture after explicit user confirmation. Restores "
                        "transport and armed-track state and removes the temporary Vantorel track.",
                        {{"jobId", jobIdProperty}, {"confirm", confirmProperty}}, {"jobId", "confirm"}, false, true));
    list.push_back(tool("vantorel_play", "Start Ableton Live playback after explicit user confirmation.", confirmOnly,
                        {"confirm"}, false, false));
    list.push_back(tool("vantorel_stop", "Stop Ableton Live playback after explicit user confirmation.", confirmOnly,
                        {"confirm"}, false, true));
    list.push_back(tool("vantorel_set_tempo",
                        "Set the Ableton project tempo. First read the session revision, show the proposed change, then "
                        "call with confirm=true and that expectedRevision.",
                        {{"tempo",
                          {{"type", "number"}, {"minimum", 40}, {"maximum", 240}, {"description", "Target tempo in BPM."}}},
                         {"expectedRevision", sessionRevisionProperty},
                         {"confirm", confirmProperty}},
                        {"tempo", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_organize_tracks",
                        "Semantically identify tracks from names, clip filenames, devices and bounded MIDI-note "
                        "statistics, then apply clear numbered names and family colors. The whole batch is reversible; "
                        "clips, devices and routing are preserved. Show the proposal and obtain explicit confirmation "
                        "first.",
                        {{"expectedRevision", sessionRevisionProperty}, {"confirm", confirmProperty}},
                        {"expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_build_arrangement",
                        "Turn existing Session or Arrangement loops into a reversible 128-bar DJ-ready club arrangement. "
                        "It creates evolving eight-bar layer changes across Intro, Groove, Build 1, Drop 1, Break, Build "
                        "2, a 32-bar Drop 2 and Outro, and rotates through available clip variations. Existing "
                        "Arrangement content is preserved; new clips are appended after it. Read the latest context, "
                        "explain the structure and obtain explicit confirmation first.",
                        {{"expectedRevision", revisionProperty}, {"confirm", confirmProperty}},
                        {"expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_create_midi_track",
                        "Create a MIDI track in the active Ableton project. Read the latest context first, explain the "
                        "change, and only call after explicit user confirmation.",
                        trackCreationProperties(), {"expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_create_audio_track",
                        "Create an audio track in the active Ableton project. Read the latest context first, explain "
                        "the change, and only call after explicit user confirmation.",
                        trackCreationProperties(), {"expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_search_samples",
                        "Search the producer's local Ableton User Library, Factory Packs and standard sample folders by "
                        "filename and musical role. Returns opaque sample IDs and metadata, never local file paths or "
                        "audio. This is a local catalog search, not an audio audition.",
                        {{"query",
                          {{"type", "string"},
                           {"maxLength", 200},
                           {"description", "Style, pack or filename words such as tight tech house kick."}}},
                         {"role", {{"type", "string"}, {"enum", roles}}},
                         {"limit", {{"type", "integer"}, {"minimum", 1}, {"maximum", 40}}}},
                        {}, true, true));
    list.push_back(tool("vantorel_import_sample",
                        "Import one exact sample returned by vantorel_search_samples onto a new Ableton audio track at "
                        "an Arrangement position. Show the chosen sample name and obtain explicit confirmation first. "
                        "The entire new track is reversible through Vantorel undo.",
                        {{"sampleId", {{"type", "string"}, {"pattern", "^[a-f0-9]{24}$"}}},
                         {"startTime",
                          {{"type", "number"}, {"minimum", 0}, {"description", "Arrangement position in beats."}}},
                         {"trackName", nameProperty},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"sampleId", "startTime", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_create_midi_clip",
                        "Create an Arrangement MIDI clip and optionally add up to 512 MIDI notes. Note startTime values "
                        "are relative to the clip in beats. Confirm the exact track, position, length and musical "
                        "content with the user first.",
                        {{"trackIndex", trackIndexProperty},
                         {"startTime",
                          {{"type", "number"},
                           {"minimum", 0},
                           {"maximum", 1576800},
                           {"description", "Arrangement position in beats."}}},
                         {"length",
                          {{"type", "number"},
                           {"exclusiveMinimum", 0},
                           {"maximum", 4096},
                           {"description", "Clip length in beats."}}},
                         {"name", nameProperty},
                         {"notes", midiNotesProperty()},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "startTime", "length", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_replace_selected_midi_clip",
                        "Replace the notes of the MIDI clip currently open in Ableton's Detail view, on the specified "
                        "selected MIDI track. Use this to improve or iterate on an existing Vantorel pattern instead of "
                        "creating another clip. The previous notes and clip name are reversible through Vantorel undo. "
                        "Show the exact musical change and obtain explicit confirmation first.",
                        {{"trackIndex", trackIndexProperty},
                         {"name", nameProperty},
                         {"notes", midiNotesProperty()},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "notes", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_rename_track",
                        "Rename one Ableton track without changing clips, routing or devices. Confirm the track index "
                        "and exact new name first.",
                        {{"trackIndex", trackIndexProperty},
                         {"name", nameProperty},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "name", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_select_track",
                        "Select one regular Ableton track by zero-based track index after user confirmation.",
                        {{"trackIndex", trackIndexProperty},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_set_track_state",
                        "Set mute, solo or arm on one regular Ableton track. Read the current state and obtain explicit "
                        "confirmation first.",
                        {{"trackIndex", trackIndexProperty},
                         {"field", {{"type", "string"}, {"enum", {"mute", "solo", "arm"}}}},
                         {"enabled", {{"type", "boolean"}}},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "field", "enabled", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_set_track_volume",
                        "Set a track fader using Ableton's displayed dB value between -70 and +6 dB. Read the current "
                        "mixer state and obtain explicit confirmation first.",
                        {{"trackIndex", trackIndexProperty},
                         {"displayDb", {{"type", "number"}, {"minimum", -70}, {"maximum", 6}}},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "displayDb", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_set_device_parameter",
                        "Set one exposed Ableton device parameter using its native value. First call "
                        "vantorel_get_device_parameters, quote the current display value and proposed target, then "
                        "obtain explicit confirmation. The change is reversible.",
                        {{"trackIndex", trackIndexProperty},
                         {"deviceIndex", integerProperty()},
                         {"parameterIndex", integerProperty()},
                         {"value",
                          numberProperty("Native parameter value inside the minimum/maximum reported by "
                                         "vantorel_get_device_parameters.")},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "deviceIndex", "parameterIndex", "value", "expectedRevision", "confirm"}, false,
                        true));
    list.push_back(tool("vantorel_set_send_level",
                        "Set one track send using Ableton's displayed dB value from -70 to 0 dB. Confirm the track, "
                        "return/send index and exact level first. The change is reversible.",
                        {{"trackIndex", trackIndexProperty},
                         {"sendIndex", integerProperty("Zero-based return/send index from the project context.")},
                         {"displayDb", {{"type", "number"}, {"minimum", -70}, {"maximum", 0}}},
                         {"expectedRevision", revisionProperty},
                         {"confirm", confirmProperty}},
                        {"trackIndex", "sendIndex", "displayDb", "expectedRevision", "confirm"}, false, true));
    list.push_back(tool("vantorel_undo_last_organization",
                        "Undo the most recent reversible Vantorel action after explicit user confirmation.", confirmOnly,
                        {"confirm"}, false, true));
    return list;
}

}  // namespace

const Json& tools() {
    static const Json catalogue = buildCatalogue();
    return catalogue;
}

}  // namespace vantorel::VantorelMCP
