#include "planning/plan.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vantorel {

namespace {

using Json = nlohmann::json;

struct CommandName {
    SafeActionCommand command;
    std::string_view raw;
    std::string_view name;
};

constexpr std::array<CommandName, 16> commandNames = {{
    {SafeActionCommand::analyze, "mix.analyze", "analyze"},
    {SafeActionCommand::organize, "tracks.organize", "organize"},
    {SafeActionCommand::buildArrangement, "arrangement.build", "buildArrangement"},
    {SafeActionCommand::importSample, "samples.import", "importSample"},
    {SafeActionCommand::play, "transport.play", "play"},
    {SafeActionCommand::stop, "transport.stop", "stop"},
    {SafeActionCommand::tempo, "tempo.set", "tempo"},
    {SafeActionCommand::createMidiTrack, "tracks.create-midi", "createMidiTrack"},
    {SafeActionCommand::createAudioTrack, "tracks.create-audio", "createAudioTrack"},
    {SafeActionCommand::createMidiClip, "clips.create-midi", "createMidiClip"},
    {SafeActionCommand::replaceMidiClip, "clips.replace-midi", "replaceMidiClip"},
    {SafeActionCommand::renameTrack, "tracks.rename", "renameTrack"},
    {SafeActionCommand::trackState, "tracks.state", "trackState"},
    {SafeActionCommand::trackVolume, "tracks.volume", "trackVolume"},
    {SafeActionCommand::undo, "actions.undo", "undo"},
    {SafeActionCommand::listenMaster, "audio.listen-master", "listenMaster"},
}};

const CommandName& entry(SafeActionCommand command) {
    return commandNames[static_cast<std::size_t>(command)];
}

// JSON has no NaN or infinity; a plan holding one cannot be shown or sent,
// and writing null in its place would turn a bad value into a missing one.
// Each encoder checks its whole value before writing anything: a JSON value
// left half-built by an exception inside nlohmann's constructors would leak.
bool finite(const std::optional<double>& value) { return !value || std::isfinite(*value); }

bool finite(const SafeMidiNote& note) {
    return std::isfinite(note.startTime) && std::isfinite(note.duration) && std::isfinite(note.probability);
}

bool finite(const SafePlanAction& action) {
    if (!finite(action.tempo) || !finite(action.displayDb) || !finite(action.startTime) || !finite(action.length) ||
        !finite(action.arrangementRelativeStart)) {
        return false;
    }
    return !action.notes ||
           std::all_of(action.notes->begin(), action.notes->end(), [](const SafeMidiNote& n) { return finite(n); });
}

void requireFinite(bool ok) {
    if (!ok) throw SafePlannerError(SafePlannerErrorCase::encodingFailed);
}

template <typename T>
void putOptional(Json& out, const char* key, const std::optional<T>& value) {
    if (value) out[key] = *value;
}

// Reads one JSON object strictly, naming the failing key by its path.
class Reader {
public:
    Reader(const Json& value, std::string path) : value_(value), path_(std::move(path)) {
        if (!value_.is_object()) throw SafePlanDecodingError(path_, "objet attendu");
    }

    std::string text(const char* key) const { return asText(required(key), key); }
    std::optional<std::string> optionalText(const char* key) const {
        const Json* v = optional(key);
        return v ? std::optional(asText(*v, key)) : std::nullopt;
    }
    double number(const char* key) const { return asNumber(required(key), key); }
    std::optional<double> optionalNumber(const char* key) const {
        const Json* v = optional(key);
        return v ? std::optional(asNumber(*v, key)) : std::nullopt;
    }
    std::int64_t integer(const char* key) const { return asInteger(required(key), key); }
    std::optional<std::int64_t> optionalInteger(const char* key) const {
        const Json* v = optional(key);
        return v ? std::optional(asInteger(*v, key)) : std::nullopt;
    }
    bool flag(const char* key) const { return asFlag(required(key), key); }
    std::optional<bool> optionalFlag(const char* key) const {
        const Json* v = optional(key);
        return v ? std::optional(asFlag(*v, key)) : std::nullopt;
    }
    const Json& array(const char* key) const { return asArray(required(key), key); }
    const Json* optionalArray(const char* key) const {
        const Json* v = optional(key);
        return v ? &asArray(*v, key) : nullptr;
    }

    std::string at(const char* key) const { return path_ + "." + key; }
    static std::string at(const std::string& path, std::size_t index) {
        return path + "[" + std::to_string(index) + "]";
    }

private:
    const Json& required(const char* key) const {
        auto it = value_.find(key);
        if (it == value_.end()) throw SafePlanDecodingError(at(key), "clé manquante");
        return *it;
    }
    // An optional key that is absent or null has no value.
    const Json* optional(const char* key) const {
        auto it = value_.find(key);
        if (it == value_.end() || it->is_null()) return nullptr;
        return &*it;
    }
    std::string asText(const Json& v, const char* key) const {
        if (!v.is_string()) throw SafePlanDecodingError(at(key), "texte attendu");
        return v.get<std::string>();
    }
    double asNumber(const Json& v, const char* key) const {
        if (!v.is_number()) throw SafePlanDecodingError(at(key), "nombre attendu");
        return v.get<double>();
    }
    // Integers may arrive written as 3.0; 3.5 or a value beyond 64 bits is
    // not an integer.
    std::int64_t asInteger(const Json& v, const char* key) const {
        if (v.is_number_unsigned()) {
            if (v.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw SafePlanDecodingError(at(key), "entier hors limites");
            }
            return static_cast<std::int64_t>(v.get<std::uint64_t>());
        }
        if (v.is_number_integer()) return v.get<std::int64_t>();
        if (v.is_number_float()) {
            double d = v.get<double>();
            if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
                return static_cast<std::int64_t>(d);
            }
        }
        throw SafePlanDecodingError(at(key), "entier attendu");
    }
    bool asFlag(const Json& v, const char* key) const {
        if (!v.is_boolean()) throw SafePlanDecodingError(at(key), "booléen attendu");
        return v.get<bool>();
    }
    const Json& asArray(const Json& v, const char* key) const {
        if (!v.is_array()) throw SafePlanDecodingError(at(key), "tableau attendu");
        return v;
    }

    const Json& value_;
    std::string path_;
};

SafeMidiNote decodeNote(const Json& value, const std::string& path) {
    Reader r(value, path);
    SafeMidiNote note;
    note.pitch = r.integer("pitch");
    note.startTime = r.number("startTime");
    note.duration = r.number("duration");
    note.velocity = r.integer("velocity");
    note.mute = r.flag("mute");
    note.probability = r.number("probability");
    return note;
}

SafeArrangementSection decodeSection(const Json& value, const std::string& path) {
    Reader r(value, path);
    SafeArrangementSection section;
    section.name = r.text("name");
    section.bars = r.integer("bars");
    const Json& phases = r.array("phaseRoles");
    std::string phasesPath = r.at("phaseRoles");
    for (std::size_t p = 0; p < phases.size(); ++p) {
        std::string phasePath = Reader::at(phasesPath, p);
        if (!phases[p].is_array()) throw SafePlanDecodingError(phasePath, "tableau attendu");
        std::vector<std::string> roles;
        roles.reserve(phases[p].size());
        for (std::size_t k = 0; k < phases[p].size(); ++k) {
            const Json& role = phases[p][k];
            if (!role.is_string()) throw SafePlanDecodingError(Reader::at(phasePath, k), "texte attendu");
            roles.push_back(role.get<std::string>());
        }
        section.phaseRoles.push_back(std::move(roles));
    }
    return section;
}

SafePlanAction decodeAction(const Json& value, const std::string& path) {
    Reader r(value, path);
    SafePlanAction action;
    action.id = r.text("id");
    std::string raw = r.text("command");
    auto command = commandFromRawValue(raw);
    if (!command) throw SafePlanDecodingError(r.at("command"), "commande inconnue « " + raw + " »");
    action.command = *command;
    action.title = r.text("title");
    action.detail = r.text("detail");
    action.mode = r.text("mode");
    action.reversible = r.flag("reversible");
    action.tempo = r.optionalNumber("tempo");
    action.trackIndex = r.optionalInteger("trackIndex");
    action.name = r.optionalText("name");
    action.state = r.optionalText("state");
    action.enabled = r.optionalFlag("enabled");
    action.displayDb = r.optionalNumber("displayDb");
    action.startTime = r.optionalNumber("startTime");
    action.length = r.optionalNumber("length");
    if (const Json* notes = r.optionalArray("notes")) {
        std::vector<SafeMidiNote> decoded;
        decoded.reserve(notes->size());
        for (std::size_t i = 0; i < notes->size(); ++i) {
            decoded.push_back(decodeNote((*notes)[i], Reader::at(r.at("notes"), i)));
        }
        action.notes = std::move(decoded);
    }
    action.sampleQuery = r.optionalText("sampleQuery");
    action.sampleRole = r.optionalText("sampleRole");
    if (const Json* sections = r.optionalArray("arrangementSections")) {
        std::vector<SafeArrangementSection> decoded;
        decoded.reserve(sections->size());
        for (std::size_t i = 0; i < sections->size(); ++i) {
            decoded.push_back(decodeSection((*sections)[i], Reader::at(r.at("arrangementSections"), i)));
        }
        action.arrangementSections = std::move(decoded);
    }
    action.sourceSceneIndex = r.optionalInteger("sourceSceneIndex");
    action.arrangementRelativeStart = r.optionalNumber("arrangementRelativeStart");
    return action;
}

SafeActionPlan decodePlan(const Json& value, const std::string& path) {
    Reader r(value, path);
    SafeActionPlan plan;
    plan.planId = r.text("planId");
    plan.title = r.text("title");
    plan.intent = r.text("intent");
    plan.expectedRevision = r.integer("expectedRevision");
    plan.source = r.text("source");
    const Json& actions = r.array("actions");
    plan.actions.reserve(actions.size());
    for (std::size_t i = 0; i < actions.size(); ++i) {
        plan.actions.push_back(decodeAction(actions[i], Reader::at(r.at("actions"), i)));
    }
    return plan;
}

}  // namespace

std::string_view rawValue(SafeActionCommand command) { return entry(command).raw; }

std::string_view caseName(SafeActionCommand command) { return entry(command).name; }

std::optional<SafeActionCommand> commandFromRawValue(std::string_view raw) {
    for (const auto& candidate : commandNames) {
        if (candidate.raw == raw) return candidate.command;
    }
    return std::nullopt;
}

bool isTrackRole(std::string_view role) {
    return std::find(trackRoles.begin(), trackRoles.end(), role) != trackRoles.end();
}

bool isSampleRole(std::string_view role) {
    return std::find(sampleRoles.begin(), sampleRoles.end(), role) != sampleRoles.end();
}

SafePlanDecodingError::SafePlanDecodingError(std::string path, std::string problem)
    : std::runtime_error("Plan illisible (" + path + ") : " + problem + "."), path_(std::move(path)) {}

void to_json(Json& out, const SafeMidiNote& note) {
    requireFinite(finite(note));
    out = Json::object();
    out["pitch"] = note.pitch;
    out["startTime"] = note.startTime;
    out["duration"] = note.duration;
    out["velocity"] = note.velocity;
    out["mute"] = note.mute;
    out["probability"] = note.probability;
}

void to_json(Json& out, const SafeArrangementSection& section) {
    out = Json::object();
    out["name"] = section.name;
    out["bars"] = section.bars;
    out["phaseRoles"] = section.phaseRoles;
}

void to_json(Json& out, const SafePlanAction& action) {
    requireFinite(finite(action));
    out = Json::object();
    out["id"] = action.id;
    out["command"] = std::string(rawValue(action.command));
    out["title"] = action.title;
    out["detail"] = action.detail;
    out["mode"] = action.mode;
    out["reversible"] = action.reversible;
    putOptional(out, "tempo", action.tempo);
    putOptional(out, "trackIndex", action.trackIndex);
    putOptional(out, "name", action.name);
    putOptional(out, "state", action.state);
    putOptional(out, "enabled", action.enabled);
    putOptional(out, "displayDb", action.displayDb);
    putOptional(out, "startTime", action.startTime);
    putOptional(out, "length", action.length);
    if (action.notes) out["notes"] = *action.notes;
    putOptional(out, "sampleQuery", action.sampleQuery);
    putOptional(out, "sampleRole", action.sampleRole);
    if (action.arrangementSections) out["arrangementSections"] = *action.arrangementSections;
    putOptional(out, "sourceSceneIndex", action.sourceSceneIndex);
    putOptional(out, "arrangementRelativeStart", action.arrangementRelativeStart);
}

void to_json(Json& out, const SafeActionPlan& plan) {
    requireFinite(std::all_of(plan.actions.begin(), plan.actions.end(),
                              [](const SafePlanAction& a) { return finite(a); }));
    out = Json::object();
    out["planId"] = plan.planId;
    out["title"] = plan.title;
    out["intent"] = plan.intent;
    out["expectedRevision"] = plan.expectedRevision;
    out["source"] = plan.source;
    out["actions"] = plan.actions;
}

void from_json(const Json& in, SafeMidiNote& note) { note = decodeNote(in, "note"); }
void from_json(const Json& in, SafeArrangementSection& section) { section = decodeSection(in, "section"); }
void from_json(const Json& in, SafePlanAction& action) { action = decodeAction(in, "action"); }
void from_json(const Json& in, SafeActionPlan& plan) { plan = decodePlan(in, "plan"); }

nlohmann::json SafeActionPlan::dictionary() const {
    Json encoded = *this;
    if (!encoded.is_object()) throw SafePlannerError(SafePlannerErrorCase::encodingFailed);
    return encoded;
}

SafeActionPlan SafeActionPlan::decode(const nlohmann::json& value) { return decodePlan(value, "plan"); }

std::string_view SafePlannerError::caseName(SafePlannerErrorCase kind) {
    switch (kind) {
        case SafePlannerErrorCase::emptyPrompt: return "emptyPrompt";
        case SafePlannerErrorCase::missingMusicalKey: return "missingMusicalKey";
        case SafePlannerErrorCase::encodingFailed: return "encodingFailed";
        case SafePlannerErrorCase::nothingToUndo: return "nothingToUndo";
        case SafePlannerErrorCase::midiTrackNotSelected: return "midiTrackNotSelected";
        case SafePlannerErrorCase::targetTrackUnknown: return "targetTrackUnknown";
        case SafePlannerErrorCase::listenLengthOutOfRange: return "listenLengthOutOfRange";
    }
    return "unknown";
}

std::string_view SafePlannerError::describe(SafePlannerErrorCase kind) {
    switch (kind) {
        case SafePlannerErrorCase::emptyPrompt: return "Écris une instruction avant de préparer le plan.";
        case SafePlannerErrorCase::missingMusicalKey:
            return "Précise une tonalité pour créer cette partie MIDI, par exemple F minor. La gamme affichée par "
                   "Ableton n’est pas une détection.";
        case SafePlannerErrorCase::encodingFailed: return "Impossible de préparer ce plan d’actions.";
        case SafePlannerErrorCase::nothingToUndo:
            return "Aucune action Vantorel récente à annuler : seules les actions exécutées depuis Vantorel dans "
                   "les 10 dernières minutes peuvent l’être ici. Utilise Annuler dans Ableton pour les autres "
                   "modifications.";
        case SafePlannerErrorCase::midiTrackNotSelected:
            return "Sélectionne dans Ableton la piste MIDI dont le clip doit évoluer, puis relance la demande.";
        case SafePlannerErrorCase::targetTrackUnknown:
            return "Je ne sais pas encore sur quelle piste écrire cette partie MIDI : attends que les pistes du "
                   "projet apparaissent dans Vantorel, ou sélectionne une piste MIDI, puis relance la demande.";
        case SafePlannerErrorCase::listenLengthOutOfRange:
            return "L’écoute du master dure de 1 à 32 mesures : précise une durée dans cet intervalle, par exemple "
                   "« écoute le master sur 8 mesures ».";
    }
    return "";
}

std::string_view SafePlanValidationError::caseName(SafePlanValidationErrorCase kind) {
    switch (kind) {
        case SafePlanValidationErrorCase::staleRevision: return "staleRevision";
        case SafePlanValidationErrorCase::invalidPlan: return "invalidPlan";
        case SafePlanValidationErrorCase::invalidAction: return "invalidAction";
    }
    return "unknown";
}

std::string_view SafePlanValidationError::describe(SafePlanValidationErrorCase kind) {
    switch (kind) {
        case SafePlanValidationErrorCase::staleRevision: return "Le projet Ableton a changé depuis la préparation du plan.";
        case SafePlanValidationErrorCase::invalidPlan: return "Le plan proposé ne respecte pas les limites de sécurité.";
        case SafePlanValidationErrorCase::invalidAction:
            return "Une action proposée n’est pas autorisée ou contient des paramètres invalides.";
    }
    return "";
}

}  // namespace vantorel
