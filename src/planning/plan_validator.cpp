#include "planning/plan_validator.h"

#include "common/text.h"

#include <algorithm>
#include <cmath>

namespace vantorel::SafePlanValidator {

namespace {

using Command = SafeActionCommand;

bool characters(const std::string& value, std::size_t minimum, std::size_t maximum) {
    // Cheap bounds first: a grapheme takes at least one byte.
    if (value.size() < minimum) return false;
    std::size_t count = text::graphemeCount(value);
    return count >= minimum && count <= maximum;
}

bool write(const SafePlanAction& a) { return a.mode == "write"; }
bool read(const SafePlanAction& a) { return a.mode == "read"; }
bool noTempo(const SafePlanAction& a) { return !a.tempo.has_value(); }
bool indexed(const SafePlanAction& a) { return a.trackIndex && *a.trackIndex >= 0; }
bool atOrAfterZero(const std::optional<double>& v) { return v && *v >= 0; }
bool clipLength(const std::optional<double>& v) { return v && *v > 0 && *v <= maxClipLength; }

bool validNote(const SafeMidiNote& n, double length) {
    return n.pitch >= 0 && n.pitch <= 127 && n.startTime >= 0 && n.startTime < length && n.duration > 0 &&
           n.velocity >= 1 && n.velocity <= 127 && n.probability >= 0 && n.probability <= 1;
}

bool validNotes(const std::vector<SafeMidiNote>& notes, double length, std::size_t minimum) {
    if (notes.size() < minimum || notes.size() > maxNotes) return false;
    return std::all_of(notes.begin(), notes.end(), [&](const SafeMidiNote& n) { return validNote(n, length); });
}

bool validSection(const SafeArrangementSection& s) {
    if (!characters(s.name, 1, maxSectionNameLength)) return false;
    if (s.bars < 1 || s.bars % 8 != 0) return false;
    if (s.phaseRoles.size() != static_cast<std::size_t>(s.bars / 8)) return false;
    return std::all_of(s.phaseRoles.begin(), s.phaseRoles.end(), [](const std::vector<std::string>& phase) {
        return !phase.empty() && std::all_of(phase.begin(), phase.end(), [](const std::string& r) {
            return isTrackRole(r);
        });
    });
}

bool validSections(const std::vector<SafeArrangementSection>& sections) {
    if (sections.empty() || sections.size() > maxSections) return false;
    // Sections are checked before summing so that the sum only adds bars
    // already known to be positive and sane.
    if (!std::all_of(sections.begin(), sections.end(), validSection)) return false;
    std::int64_t total = 0;
    for (const auto& s : sections) {
        if (s.bars > maxArrangementBars) return false;
        total += s.bars;
    }
    return total <= maxArrangementBars;
}

bool validName(const std::optional<std::string>& name) { return !name || characters(*name, 1, maxNameLength); }

}  // namespace

bool isValidAction(const SafePlanAction& a) {
    switch (a.command) {
        case Command::analyze: return read(a) && !a.reversible && noTempo(a);
        case Command::organize: return write(a) && a.reversible && noTempo(a);
        case Command::buildArrangement:
            return write(a) && a.reversible && noTempo(a) && !a.trackIndex && !a.notes &&
                   (!a.arrangementSections ||
                    (validSections(*a.arrangementSections) && (!a.sourceSceneIndex || *a.sourceSceneIndex >= 0)));
        case Command::importSample:
            return write(a) && a.reversible && noTempo(a) && a.sampleQuery &&
                   characters(*a.sampleQuery, 1, maxSampleQueryLength) && a.sampleRole && isSampleRole(*a.sampleRole) &&
                   (atOrAfterZero(a.startTime) || atOrAfterZero(a.arrangementRelativeStart));
        case Command::play:
        case Command::stop: return write(a) && !a.reversible && noTempo(a);
        case Command::tempo: return write(a) && !a.reversible && a.tempo && *a.tempo >= 40 && *a.tempo <= 240;
        case Command::createMidiTrack:
        case Command::createAudioTrack:
            return write(a) && a.reversible && noTempo(a) && (!a.trackIndex || *a.trackIndex >= 0) && validName(a.name);
        case Command::createMidiClip:
            return write(a) && a.reversible && noTempo(a) && indexed(a) && atOrAfterZero(a.startTime) &&
                   clipLength(a.length) && (!a.notes || validNotes(*a.notes, *a.length, 0));
        case Command::replaceMidiClip: {
            if (!(write(a) && a.reversible && noTempo(a) && indexed(a))) return false;
            if (a.length || a.notes) return clipLength(a.length) && a.notes && validNotes(*a.notes, *a.length, 1);
            static constexpr std::string_view styles[] = {"creative", "variation", "groove", "humanize"};
            return a.state && std::find(std::begin(styles), std::end(styles), *a.state) != std::end(styles);
        }
        case Command::renameTrack:
            return write(a) && a.reversible && noTempo(a) && indexed(a) && a.name && characters(*a.name, 1, maxNameLength);
        case Command::trackState:
            return write(a) && a.reversible && noTempo(a) && indexed(a) && a.state &&
                   (*a.state == "mute" || *a.state == "solo" || *a.state == "arm") && a.enabled.has_value();
        case Command::trackVolume:
            return write(a) && a.reversible && noTempo(a) && indexed(a) && a.displayDb && *a.displayDb >= -70 &&
                   *a.displayDb <= 6;
        case Command::undo: return write(a) && !a.reversible && noTempo(a) && !a.trackIndex && !a.notes;
        case Command::listenMaster:
            // The capture adds and removes a track of its own: undoing it
            // would take back an older change instead.
            return write(a) && !a.reversible && atOrAfterZero(a.startTime) && a.length &&
                   *a.length == std::trunc(*a.length) && *a.length >= 1 && *a.length <= 32;
    }
    return false;
}

void validate(const SafeActionPlan& plan, std::int64_t currentRevision) {
    using Case = SafePlanValidationErrorCase;
    if (plan.expectedRevision != currentRevision) throw SafePlanValidationError(Case::staleRevision);
    if (plan.planId.empty() || plan.title.empty() || plan.intent.empty() || plan.actions.empty() ||
        plan.actions.size() > maxActions) {
        throw SafePlanValidationError(Case::invalidPlan);
    }
    for (const auto& action : plan.actions) {
        if (action.id.empty() || action.title.empty() || action.detail.empty() || !isValidAction(action)) {
            throw SafePlanValidationError(Case::invalidAction);
        }
    }
}

}  // namespace vantorel::SafePlanValidator
