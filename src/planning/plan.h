// The plan model: every change Vantorel makes in the Live Set travels as a
// SafeActionPlan of one to eight steps, each naming one command of a closed
// set. Plans come from the local planner or the remote planner, are checked
// by SafePlanValidator, shown to the producer in their dictionary form and
// executed step by step by the app.
//
// The records are plain values: this header only encodes and decodes them.
// Their invariants (non-empty texts, 1…8 steps, the fields each command
// needs) are the validator's business, not the constructors'.
//
// JSON form: keys equal the field names; an optional field is written only
// when it has a value (never as null) and read back as absent when missing or
// null; `command` travels as its wire string ("tracks.create-midi").
// Decoding is strict, unlike the lenient readers used for bridge replies: a
// missing required key, a value of the wrong type or an unknown command
// fails the whole plan with SafePlanDecodingError.
#pragma once

#include "common/error.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

// Declared in the order used wherever commands are listed.
enum class SafeActionCommand {
    analyze,           // "mix.analyze": read-only mix-preparation analysis
    organize,          // "tracks.organize": rename and colour tracks by role, one undoable batch
    buildArrangement,  // "arrangement.build": club arrangement from the source loop
    importSample,      // "samples.import": best library match on a new audio track
    play,              // "transport.play"
    stop,              // "transport.stop"
    tempo,             // "tempo.set"
    createMidiTrack,   // "tracks.create-midi"
    createAudioTrack,  // "tracks.create-audio"
    createMidiClip,    // "clips.create-midi": empty or with notes
    replaceMidiClip,   // "clips.replace-midi": given notes, or a named variation style
    renameTrack,       // "tracks.rename"
    trackState,        // "tracks.state": mute, solo or arm on/off
    trackVolume,       // "tracks.volume": fader to a displayed dB value
    undo,              // "actions.undo": the newest action recorded by the bridge
    listenMaster,      // "audio.listen-master": capture and measure the master output
};

inline constexpr std::array<SafeActionCommand, 16> allSafeActionCommands = {
    SafeActionCommand::analyze,          SafeActionCommand::organize,        SafeActionCommand::buildArrangement,
    SafeActionCommand::importSample,     SafeActionCommand::play,            SafeActionCommand::stop,
    SafeActionCommand::tempo,            SafeActionCommand::createMidiTrack, SafeActionCommand::createAudioTrack,
    SafeActionCommand::createMidiClip,   SafeActionCommand::replaceMidiClip, SafeActionCommand::renameTrack,
    SafeActionCommand::trackState,       SafeActionCommand::trackVolume,     SafeActionCommand::undo,
    SafeActionCommand::listenMaster,
};

// The wire string JSON carries ("tempo.set").
std::string_view rawValue(SafeActionCommand command);
// The case name ("tempo"): what the app records as an action type.
std::string_view caseName(SafeActionCommand command);
// The command of a wire string; nothing for a string outside the table.
std::optional<SafeActionCommand> commandFromRawValue(std::string_view raw);

// The 13 track roles, the only values allowed inside `phaseRoles`.
inline constexpr std::array<std::string_view, 13> trackRoles = {
    "kick", "clap", "snare", "hat", "percussion", "drums", "bass", "harmony", "music", "lead", "vocal", "fx", "unknown",
};
// The 10 sample roles, the only values allowed in `sampleRole`.
inline constexpr std::array<std::string_view, 10> sampleRoles = {
    "kick", "clap", "hat", "percussion", "bass", "chords", "lead", "vocal", "fx", "loop",
};
bool isTrackRole(std::string_view role);
bool isSampleRole(std::string_view role);

struct SafeMidiNote {
    std::int64_t pitch = 0;     // MIDI note number
    double startTime = 0;       // beats from the start of the clip
    double duration = 0;        // beats
    std::int64_t velocity = 0;  // MIDI velocity
    bool mute = false;          // the planner always writes false
    double probability = 1.0;   // play probability 0…1

    SafeMidiNote() = default;
    // How the planner builds notes: never muted.
    SafeMidiNote(std::int64_t pitch, double startTime, double duration, std::int64_t velocity,
                 double probability = 1.0)
        : pitch(pitch), startTime(startTime), duration(duration), velocity(velocity), probability(probability) {}

    bool operator==(const SafeMidiNote&) const = default;
};

struct SafeArrangementSection {
    std::string name;  // "Intro", "Drop 1", …
    std::int64_t bars = 0;
    // One phase per 8 bars, in order; each lists the track roles that play.
    std::vector<std::vector<std::string>> phaseRoles;

    bool operator==(const SafeArrangementSection&) const = default;
};

struct SafePlanAction {
    std::string id;  // fresh upper-case UUID from the local planner
    SafeActionCommand command = SafeActionCommand::analyze;
    std::string title;   // short French label of the plan card
    std::string detail;  // one French sentence under the title
    std::string mode;    // "read" or "write"
    bool reversible = false;
    std::optional<double> tempo;              // BPM, for tempo
    std::optional<std::int64_t> trackIndex;   // 0-based; texts show it plus one
    std::optional<std::string> name;          // track name, or clip name for clip creation
    std::optional<std::string> state;         // trackState: "mute"/"solo"/"arm"; replaceMidiClip: the style
    std::optional<bool> enabled;              // trackState's new value
    std::optional<double> displayDb;          // trackVolume, as displayed
    std::optional<double> startTime;          // song position in beats
    std::optional<double> length;             // clip length in beats; listenMaster: bars to record
    std::optional<std::vector<SafeMidiNote>> notes;
    std::optional<std::string> sampleQuery;   // the request as typed
    std::optional<std::string> sampleRole;    // one of sampleRoles
    std::optional<std::vector<SafeArrangementSection>> arrangementSections;
    std::optional<std::int64_t> sourceSceneIndex;       // 0-based scene of the source loop
    std::optional<double> arrangementRelativeStart;     // beats from the start of an arrangement built earlier

    bool operator==(const SafePlanAction&) const = default;
};

struct SafeActionPlan {
    std::string planId;
    std::string title;   // French headline
    std::string intent;  // French sentence: what the plan will do
    std::int64_t expectedRevision = 0;
    std::string source;  // "local-safety-planner", or the remote planner's own value
    std::vector<SafePlanAction> actions;

    // The plan as the "planResult" event carries it: a JSON object with the
    // keys above. Throws SafePlannerError::encodingFailed when the plan holds
    // a number JSON cannot represent (NaN, infinity).
    nlohmann::json dictionary() const;

    // Strict decoding; throws SafePlanDecodingError.
    static SafeActionPlan decode(const nlohmann::json& value);

    bool operator==(const SafeActionPlan&) const = default;
};

inline constexpr std::string_view localPlannerSource = "local-safety-planner";

// A JSON value that is not a plan (or a note, section, step). The message,
// in French, says which key failed and where ("actions[2].command").
class SafePlanDecodingError : public std::runtime_error {
public:
    SafePlanDecodingError(std::string path, std::string problem);
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// JSON encoding for the step executor's request bodies and for envelopes.
// Encoding throws SafePlannerError::encodingFailed on a non-finite number;
// decoding throws SafePlanDecodingError.
void to_json(nlohmann::json& out, const SafeMidiNote& note);
void to_json(nlohmann::json& out, const SafeArrangementSection& section);
void to_json(nlohmann::json& out, const SafePlanAction& action);
void to_json(nlohmann::json& out, const SafeActionPlan& plan);
void from_json(const nlohmann::json& in, SafeMidiNote& note);
void from_json(const nlohmann::json& in, SafeArrangementSection& section);
void from_json(const nlohmann::json& in, SafePlanAction& action);
void from_json(const nlohmann::json& in, SafeActionPlan& plan);

enum class SafePlannerErrorCase {
    emptyPrompt,
    missingMusicalKey,
    encodingFailed,
    // The planner recognised the request but lacks the state it needs; each
    // tells the producer what to do instead of asking for an instruction.
    nothingToUndo,
    midiTrackNotSelected,
    targetTrackUnknown,
    listenLengthOutOfRange,
};

class SafePlannerError : public EnumError<SafePlannerError, SafePlannerErrorCase> {
public:
    static constexpr std::string_view typeName = "SafePlannerError";
    static std::string_view caseName(SafePlannerErrorCase kind);
    static std::string_view describe(SafePlannerErrorCase kind);
    using EnumError::EnumError;
};

enum class SafePlanValidationErrorCase { staleRevision, invalidPlan, invalidAction };

class SafePlanValidationError : public EnumError<SafePlanValidationError, SafePlanValidationErrorCase> {
public:
    static constexpr std::string_view typeName = "SafePlanValidationError";
    static std::string_view caseName(SafePlanValidationErrorCase kind);
    static std::string_view describe(SafePlanValidationErrorCase kind);
    using EnumError::EnumError;
};

}  // namespace vantorel
