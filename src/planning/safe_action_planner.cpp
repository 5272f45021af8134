#include "planning/safe_action_planner.h"

#include "common/format.h"
#include "common/text.h"
#include "planning/arrangement_plans.h"
#include "planning/local_plan.h"
#include "planning/pattern_generators.h"
#include "planning/request_recognition.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace vantorel::SafeActionPlanner {

namespace {

using Case = SafePlannerErrorCase;

bool mentionsNewClip(std::string_view t) { return containsAny(t, {"cree un clip", "creer un clip", "ajoute un clip"}); }

bool mentionsNewTrack(std::string_view t) {
    return containsAny(t, {"cree une piste", "creer une piste", "ajoute une piste", "nouvelle piste"});
}

bool mentionsStop(std::string_view t) { return containsAny(t, {"arrete", "stop", "pause"}); }

bool mentionsPlay(std::string_view t) { return containsAny(t, {"lance", "demarre", "play", "lecture"}); }

bool hasTempoVerb(std::string_view t) { return containsAny(t, {"mets", "regle", "change", "definis", "passe"}); }

bool hasCommandPhrase(std::string_view t) {
    return containsAny(
        t, {"mets le tempo", "change le tempo", "lance la lecture", "demarre la lecture", "arrete", "stop", "organise",
            "prepare le mix", "code couleur", "nettoie ma session", "renomme toutes les pistes", "identifie les pistes",
            "cree une piste", "creer une piste", "ajoute une piste", "nouvelle piste", "cree un clip", "creer un clip",
            "renomme", "mets en mute", "mute la piste", "solo la piste", "arme la piste", "desarme", "mets le volume",
            "regle le volume", "range et colore", "range ma session", "colore la session"});
}

std::string plural(std::int64_t n) { return n == 1 ? "" : "s"; }

std::string trackNumber(std::int64_t index) { return std::to_string(index + 1); }

SafeActionPlan single(std::string title, std::string intent, std::int64_t revision, SafePlanAction action) {
    std::vector<SafePlanAction> actions;
    actions.push_back(std::move(action));
    return localPlan(std::move(title), std::move(intent), revision, std::move(actions));
}

SafeActionPlan undoPlan(std::string_view t, const PlanningContext& context) {
    std::int64_t n = 1;
    if (containsAny(t, {"annule tout", "annuler tout", "undo everything"}) &&
        containsAny(t, {"depuis 10 minute", "des 10 derniere"})) {
        n = std::min<std::int64_t>(context.recentActionCount, 8);
    }
    // Only the app's own recent actions can be undone from here; with none,
    // an undo step would revert whatever Live did last.
    if (context.recentActionCount <= 0) throw SafePlannerError(Case::nothingToUndo);
    std::vector<SafePlanAction> actions;
    for (std::int64_t i = 0; i < n; ++i) {
        std::string title = n == 1 ? std::string("Restaurer la dernière action")
                                   : "Restaurer l’action " + std::to_string(i + 1) + " sur " + std::to_string(n);
        actions.push_back(
            localAction(SafeActionCommand::undo, std::move(title), "Annulation séquentielle vérifiée", writeMode, false));
    }
    std::string count = std::to_string(n);
    std::string title = n == 1 ? std::string("Annuler la dernière action Vantorel")
                               : "Annuler les " + count + " actions Vantorel récentes";
    std::string s = plural(n);
    return localPlan(std::move(title),
                     "Restaurer " + count + " état" + s + " réversible" + s + " enregistré" + s +
                         " dans les 10 dernières minutes.",
                     context.revision, std::move(actions));
}

SafeActionPlan midiImprovementPlan(std::string_view t, const PlanningContext& context) {
    if (!context.selectedTrackIsMidi || !context.selectedTrackIndex) {
        throw SafePlannerError(Case::midiTrackNotSelected);
    }
    std::string style = midiTransformation(t);
    std::string lead = style == "humanize" ? "Humaniser"
                       : style == "groove" ? "Renforcer le groove du"
                                           : "Faire évoluer le";
    SafePlanAction action = localAction(SafeActionCommand::replaceMidiClip,
                                        "Appliquer une variation musicale au clip ouvert",
                                        "Notes, accords et rythme existants analysés localement · variation " + style +
                                            " · version précédente entièrement restaurable.",
                                        writeMode, true);
    action.trackIndex = context.selectedTrackIndex;
    action.state = style;
    return single(lead + " clip MIDI sélectionné",
                  "Réécrire directement les notes du clip MIDI ouvert à partir de son contenu actuel, sans inventer "
                  "une tonalité, créer une piste ou ajouter un second clip.",
                  context.revision, std::move(action));
}

enum class Part { drums, chords, bass };

SafeActionPlan generatedPartPlan(std::string_view t, const PlanningContext& context, double position) {
    Part part = mentionsDrums(t) ? Part::drums : mentionsChords(t) ? Part::chords : Part::bass;

    MusicalKey key{0, true, "C minor"};
    if (part != Part::drums) {
        auto found = explicitKey(t);
        if (!found) throw SafePlannerError(Case::missingMusicalKey);
        key = *found;
    }
    int bars = std::clamp(barsCount(t).value_or(4), 1, 8);

    bool newTrack = true;
    std::optional<std::int64_t> target = context.trackCount;
    if (mentionsSelectedTrack(t) && context.selectedTrackIsMidi) {
        newTrack = false;
        target = context.selectedTrackIndex;
    }
    if (!target) throw SafePlannerError(Case::targetTrackUnknown);

    std::vector<SafeMidiNote> notes;
    std::string title, intent, trackName, trackTitle, clipTitle, clipName;
    switch (part) {
        case Part::drums:
            notes = drumPattern(bars);
            title = "Créer un groove MIDI de " + std::to_string(bars) + " mesures";
            intent = "Poser une base kick, clap et hats éditable pour lancer le groove.";
            trackTitle = "Créer la piste Drums";
            trackName = "Vantorel Drums";
            clipTitle = "Écrire le pattern de batterie";
            clipName = "Vantorel Groove";
            break;
        case Part::chords:
            notes = chordPattern(bars, key);
            title = "Créer des accords MIDI en " + key.name;
            intent = "Créer une progression de quatre accords directement éditable dans le piano roll.";
            trackTitle = "Créer la piste Chords";
            trackName = "Vantorel Chords";
            clipTitle = "Écrire la progression d’accords";
            clipName = "Vantorel Chords · " + key.name;
            break;
        case Part::bass:
            notes = bassPattern(bars, key.root + 36, mentionsRollingStyle(t));
            title = "Créer une bassline MIDI en " + key.name;
            intent = "Poser une ligne de basse offbeat courte et éditable, pensée pour laisser respirer le kick.";
            trackTitle = "Créer la piste Bass";
            trackName = "Vantorel Bass";
            clipTitle = "Écrire la bassline";
            clipName = "Vantorel Bassline · " + key.name;
            break;
    }

    std::vector<SafePlanAction> actions;
    if (newTrack) {
        SafePlanAction track = localAction(SafeActionCommand::createMidiTrack, trackTitle,
                                           "Nouvelle piste MIDI dédiée, sélectionnée et annulable.", writeMode, true);
        track.name = trackName;
        actions.push_back(std::move(track));
    }
    std::string detail = std::to_string(notes.size()) + " notes MIDI sur " + std::to_string(bars) +
                         " mesures, entièrement éditables après création" +
                         (part == Part::drums ? std::string(".") : " · tonalité " + key.name + ".");
    SafePlanAction clip = localAction(SafeActionCommand::createMidiClip, clipTitle, std::move(detail), writeMode, true);
    clip.trackIndex = target;
    clip.name = clipName;
    clip.startTime = position;
    clip.length = bars * 4.0;
    clip.notes = std::move(notes);
    actions.push_back(std::move(clip));
    return localPlan(std::move(title), std::move(intent), context.revision, std::move(actions));
}

SafeActionPlan newClipPlan(std::string_view t, std::string_view trimmed, const PlanningContext& context,
                           double position) {
    int bars = barsCount(t).value_or(4);
    SafePlanAction action =
        localAction(SafeActionCommand::createMidiClip, "Créer le clip MIDI",
                    "Piste " + trackNumber(*context.selectedTrackIndex) + " · " + format::number(bars * 4.0) +
                        " temps à partir de " + format::number(position) + ".",
                    writeMode, true);
    action.trackIndex = context.selectedTrackIndex;
    action.name = requestedName(trimmed);
    action.startTime = position;
    action.length = bars * 4.0;
    return single("Créer un clip MIDI de " + std::to_string(bars) + " mesure" + plural(bars),
                  "Ajouter un clip MIDI vide sur la piste sélectionnée à la position actuelle.", context.revision,
                  std::move(action));
}

SafeActionPlan newTrackPlan(bool midi, std::string_view trimmed, std::int64_t revision) {
    SafePlanAction action =
        localAction(midi ? SafeActionCommand::createMidiTrack : SafeActionCommand::createAudioTrack,
                    midi ? "Ajouter la piste MIDI" : "Ajouter la piste audio",
                    "La piste sera sélectionnée et pourra être annulée.", writeMode, true);
    action.name = requestedName(trimmed);
    return single(midi ? "Créer une piste MIDI" : "Créer une piste audio",
                  midi ? "Ajouter une piste MIDI à la fin du projet actif."
                       : "Ajouter une piste audio à la fin du projet actif.",
                  revision, std::move(action));
}

SafeActionPlan volumePlan(double db, std::int64_t index, std::int64_t revision) {
    std::string value = format::number(db);
    SafePlanAction action = localAction(SafeActionCommand::trackVolume, "Régler le niveau de piste",
                                        "Piste " + trackNumber(index) + " · valeur affichée " + value + " dB.",
                                        writeMode, true);
    action.trackIndex = index;
    action.displayDb = db;
    return single("Régler la piste sélectionnée à " + value + " dB",
                  "Modifier uniquement le fader de volume de la piste sélectionnée.", revision, std::move(action));
}

SafeActionPlan statePlan(const std::pair<std::string, bool>& state, std::int64_t index, std::int64_t revision) {
    const auto& [field, enabled] = state;
    std::string title = (enabled ? "Activer " : "Désactiver ") + field;
    SafePlanAction action = localAction(SafeActionCommand::trackState, title,
                                        "Piste " + trackNumber(index) + " · action annulable.", writeMode, true);
    action.trackIndex = index;
    action.state = field;
    action.enabled = enabled;
    return single(std::move(title), "Modifier uniquement l’état " + field + " de la piste sélectionnée.", revision,
                  std::move(action));
}

SafeActionPlan renamePlan(const std::string& name, std::int64_t index, std::int64_t revision) {
    SafePlanAction action = localAction(SafeActionCommand::renameTrack, "Renommer la piste sélectionnée",
                                        "Piste " + trackNumber(index) + " · clips, devices et routage conservés.",
                                        writeMode, true);
    action.trackIndex = index;
    action.name = name;
    return single("Renommer en « " + name + " »", "Changer uniquement le nom de la piste sélectionnée.", revision,
                  std::move(action));
}

// Rename, volume and flag requests on the selected track; nothing when the
// request is none of them or no track is selected.
std::optional<SafeActionPlan> selectedTrackPlan(std::string_view t, std::string_view trimmed,
                                                const PlanningContext& context) {
    if (!context.selectedTrackIndex) return std::nullopt;
    std::int64_t index = *context.selectedTrackIndex;
    if (text::contains(t, "renomme")) {
        if (auto name = requestedName(trimmed)) return renamePlan(*name, index, context.revision);
    }
    if (auto db = decibels(t)) return volumePlan(*db, index, context.revision);
    if (auto state = trackState(t)) return statePlan(*state, index, context.revision);
    return std::nullopt;
}

// Where a locator's name stands in the request as a word of its own, so that
// "break" does not match inside "breakdown". One-letter names ("A", "B")
// are left out: folded, "à" reads as "a" in every other sentence.
bool namesLocator(std::string_view t, std::string_view name) {
    if (name.size() < 2) return false;
    auto isWordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (std::size_t at = t.find(name); at != std::string_view::npos; at = t.find(name, at + 1)) {
        const bool before = at == 0 || !isWordChar(t[at - 1]);
        const bool after = at + name.size() == t.size() || !isWordChar(t[at + name.size()]);
        if (before && after) return true;
    }
    return false;
}

constexpr long long kMaxListenBars = 32;
constexpr long long kDefaultListenBars = 8;

SafeActionPlan masterListenPlan(std::string_view t, const PlanningContext& context, double position) {
    const long long bars = listenBars(t).value_or(kDefaultListenBars);
    if (bars < 1 || bars > kMaxListenBars) throw SafePlannerError(Case::listenLengthOutOfRange);
    const double beatsPerBar =
        std::isfinite(context.beatsPerBar) && context.beatsPerBar > 0 ? context.beatsPerBar : 4.0;

    double start = 0;
    std::string from;
    if (auto bar = listenStartBar(t)) {
        start = static_cast<double>(*bar - 1) * beatsPerBar;
        from = "de la mesure " + std::to_string(*bar);
    } else {
        // The longest name wins: "break 2" rather than "break".
        const std::pair<std::string, double>* named = nullptr;
        std::size_t longest = 0;
        for (const auto& locator : context.locators) {
            const std::string name = text::trim(normalizedRequest(locator.first));
            if (name.size() > longest && std::isfinite(locator.second) && namesLocator(t, name)) {
                named = &locator, longest = name.size();
            }
        }
        if (named) {
            start = std::max(named->second, 0.0);
            from = "du repère « " + text::trim(named->first) + " »";
        } else {
            const double bar = std::floor(position / beatsPerBar);
            start = bar * beatsPerBar;
            from = "de la mesure " + format::number(bar + 1);
        }
    }
    SafePlanAction action = localAction(
        SafeActionCommand::listenMaster, "Capturer et mesurer le master",
        std::to_string(bars) + " mesure" + plural(bars) + " à partir " + from +
            " · la lecture démarre et s’arrête seule; une piste temporaire est ajoutée puis retirée.",
        writeMode, false);
    action.startTime = start;
    action.length = static_cast<double>(bars);
    return single("Écouter le master",
                  "Enregistrer la sortie réelle du master puis mesurer loudness, crête vraie, niveaux et spectre.",
                  context.revision, std::move(action));
}

}  // namespace

SafeActionPlan plan(std::string_view prompt, const PlanningContext& context) {
    std::string trimmed = text::trim(prompt);
    if (trimmed.empty()) throw SafePlannerError(Case::emptyPrompt);
    std::string t = normalizedRequest(trimmed);
    bool organise = isOrganiseRequest(t);
    bool groups = isGroupsRequest(t);
    const std::int64_t revision = context.revision;
    // A playhead before the song start (or not a number) places new material
    // at the start.
    const double position = std::isfinite(context.currentTime) ? std::max(context.currentTime, 0.0) : 0.0;

    if (isUndoRequest(t)) return undoPlan(t, context);
    if (isMasterListenRequest(t)) return masterListenPlan(t, context, position);
    if (isCompositeFinishRequest(t)) return compositePlan(revision);
    if (isIntroRiserRequest(t)) return introRiserPlan(trimmed, revision);
    if (isSampleImportRequest(t)) return samplePlan(t, trimmed, position, revision);
    if (isArrangementRequest(t)) return arrangementPlan(t, revision);
    if (organise) return organisationPlan(groups, revision);
    if (isMidiImprovementRequest(t)) return midiImprovementPlan(t, context);
    if (mentionsMidiPart(t) && hasCreationVerb(t)) return generatedPartPlan(t, context, position);
    if (mentionsNewClip(t) && text::contains(t, "midi") && context.selectedTrackIndex && context.selectedTrackIsMidi) {
        return newClipPlan(t, trimmed, context, position);
    }
    if (mentionsNewTrack(t) && text::contains(t, "midi")) return newTrackPlan(true, trimmed, revision);
    if (mentionsNewTrack(t) && text::contains(t, "audio")) return newTrackPlan(false, trimmed, revision);
    if (auto selected = selectedTrackPlan(t, trimmed, context)) return std::move(*selected);

    if (auto bpm = tempoValue(t)) {
        SafePlanAction action = localAction(SafeActionCommand::tempo, "Définir le tempo",
                                            "Valeur contrôlée entre 40 et 240 BPM.", writeMode, false);
        action.tempo = *bpm;
        return single("Régler le tempo à " + format::number(*bpm) + " BPM",
                      "Modifier uniquement le tempo global du projet actif.", revision, std::move(action));
    }
    if (mentionsStop(t)) {
        return single("Arrêter la lecture", "Arrêter le transport Ableton sans modifier la session.", revision,
                      localAction(SafeActionCommand::stop, "Arrêter le transport",
                                  "Aucun clip ni réglage ne sera modifié.", writeMode, false));
    }
    if (mentionsPlay(t)) {
        return single("Lancer la lecture", "Démarrer le transport depuis la position actuelle.", revision,
                      localAction(SafeActionCommand::play, "Démarrer le transport",
                                  "La lecture commence dans le projet actif.", writeMode, false));
    }
    return single("Diagnostic de session",
                  "Lire le contexte disponible et identifier les points de préparation au mix sans modifier le projet.",
                  revision,
                  localAction(SafeActionCommand::analyze, "Analyser la session",
                              "Analyse locale en lecture seule de la structure et des niveaux exposés.", readMode,
                              false));
}

SafeActionPlan plan(std::string_view prompt, std::int64_t revision, std::optional<std::int64_t> selectedTrackIndex,
                    bool selectedTrackIsMidi, std::optional<std::int64_t> trackCount, double currentTime,
                    std::int64_t recentActionCount) {
    PlanningContext context;
    context.revision = revision;
    context.selectedTrackIndex = selectedTrackIndex;
    context.selectedTrackIsMidi = selectedTrackIsMidi;
    context.trackCount = trackCount;
    context.currentTime = currentTime;
    context.recentActionCount = recentActionCount;
    return plan(prompt, context);
}

bool isExplicitAction(std::string_view text) {
    std::string t = normalizedRequest(text);
    if (isCompositeFinishRequest(t) || isIntroRiserRequest(t) || isMidiImprovementRequest(t) ||
        isSampleImportRequest(t)) {
        return true;
    }
    if (tempoValue(t) && hasTempoVerb(t)) return true;
    if (isUndoRequest(t) || isArrangementRequest(t) || isMasterListenRequest(t)) return true;
    // A MIDI part is an action only when it can be planned without asking:
    // drums, or a key named.
    if (hasCreationVerb(t) && mentionsMidiPart(t)) return mentionsDrums(t) || explicitKey(t).has_value();
    return hasCommandPhrase(t);
}

bool needsMusicalKeyClarification(std::string_view text) {
    std::string t = normalizedRequest(text);
    if (mentionsDrums(t) || !mentionsPitchedPart(t)) return false;
    return hasCreationVerb(t) && !explicitKey(t);
}

std::optional<std::string> resolveMusicalKeyClarification(std::string_view originalPrompt, std::string_view reply) {
    if (!needsMusicalKeyClarification(originalPrompt)) return std::nullopt;
    // Offsets found in the folded text are applied to the text as typed, in
    // user-perceived characters, as folding keeps one character for one.
    auto after = [](std::string_view typed, std::size_t characters) {
        std::size_t kept = std::min(characters, text::graphemeCount(typed));
        std::size_t bytes = std::min(text::graphemePrefix(typed, kept).size(), typed.size());
        return std::string(typed.substr(bytes));
    };
    // Invalid bytes read as U+FFFD everywhere, so that a prefix counted in
    // characters is a prefix in bytes of the text it is cut from.
    std::string candidate = text::graphemePrefix(reply, reply.size());
    constexpr std::string_view marker = "je valide :";
    std::string folded = normalizedRequest(candidate);
    if (auto found = folded.find(marker); found != std::string::npos) {
        candidate = after(candidate, text::graphemeCount(std::string_view(folded).substr(0, found + marker.size())));
        folded = normalizedRequest(candidate);
    }
    if (auto found = folded.find("je ne retiens pas"); found != std::string::npos) {
        candidate = text::graphemePrefix(candidate, text::graphemeCount(std::string_view(folded).substr(0, found)));
    }
    auto key = explicitKey(normalizedRequest(candidate));
    if (!key) return std::nullopt;
    return text::trim(originalPrompt) + " · tonalité " + key->name;
}

bool isMidiImprovementFollowUp(std::string_view text) {
    return containsAny(normalizedRequest(text),
                       {"ameliore-la", "ameliore le", "ameliore cette", "fais-la evoluer", "fais le evoluer",
                        "rends-la plus", "rends le plus", "plus groovy", "plus roulante", "ajoute une variation",
                        "apporte plus de creativite", "plus creatif", "plus creative", "complexifie", "varie le clip",
                        "varie ce clip", "humanise", "change les accords"});
}

bool hasExplicitMusicalKey(std::string_view text) { return explicitKey(normalizedRequest(text)).has_value(); }

}  // namespace vantorel::SafeActionPlanner
