#include "planning/plan_validator.h"
#include "planning/safe_action_planner.h"

#include <gtest/gtest.h>

#include <set>

namespace vantorel::SafeActionPlanner {
namespace {

using C = SafeActionCommand;

PlanningContext session(std::optional<std::int64_t> selected = std::nullopt, bool midi = false,
                        std::optional<std::int64_t> tracks = 6, double time = 0, std::int64_t recent = 0) {
    return PlanningContext{41, selected, midi, tracks, time, recent, 4, {}};
}

std::vector<C> commands(const SafeActionPlan& plan) {
    std::vector<C> out;
    for (const auto& a : plan.actions) out.push_back(a.command);
    return out;
}

TEST(Routing, EachRequestReachesItsPlan) {
    struct Row {
        const char* prompt;
        PlanningContext context;
        const char* title;
        std::vector<C> commands;
    };
    const Row rows[] = {
        {"annule la dernière action", session(std::nullopt, false, 6, 0, 3), "Annuler la dernière action Vantorel",
         {C::undo}},
        {"annule tout", session(std::nullopt, false, 6, 0, 12), "Annuler la dernière action Vantorel", {C::undo}},
        {"analyse ma session, corrige le blocage et crée les repères", session(),
         "Diagnostiquer puis structurer la session", {C::analyze, C::buildArrangement, C::analyze}},
        {"analyse ma session et corrige le blocage", session(), "Diagnostic de session", {C::analyze}},
        {"rallonge l'intro et ajoute un riser", session(), "Rallonger l’intro et préparer le premier drop",
         {C::buildArrangement, C::importSample}},
        {"importe un sample de kick depuis ma bibliothèque", session(), "Importer un sample de kick",
         {C::importSample}},
        {"arrangement club complet", session(), "Transformer les clips en arrangement club", {C::buildArrangement}},
        {"range et colore ma session", session(), "Préparer la session pour le mix", {C::organize, C::analyze}},
        {"renomme toutes les pistes", session(), "Préparer la session pour le mix", {C::organize, C::analyze}},
        {"humanise la bassline", session(2, true), "Humaniser clip MIDI sélectionné", {C::replaceMidiClip}},
        {"rends le plus groovy, ce clip midi", session(2, true), "Renforcer le groove du clip MIDI sélectionné",
         {C::replaceMidiClip}},
        {"améliore le clip midi", session(2, true), "Faire évoluer le clip MIDI sélectionné", {C::replaceMidiClip}},
        {"crée un pattern de batterie", session(), "Créer un groove MIDI de 4 mesures",
         {C::createMidiTrack, C::createMidiClip}},
        {"crée des accords en la mineur", session(), "Créer des accords MIDI en A minor",
         {C::createMidiTrack, C::createMidiClip}},
        {"crée une bassline en fa mineur sur cette piste", session(1, true), "Créer une bassline MIDI en F minor",
         {C::createMidiClip}},
        {"crée une bassline en fa mineur sur cette piste", session(1, false), "Créer une bassline MIDI en F minor",
         {C::createMidiTrack, C::createMidiClip}},
        {"ajoute un clip midi", session(1, true), "Créer un clip MIDI de 4 mesures", {C::createMidiClip}},
        {"ajoute un clip midi", session(1, false), "Diagnostic de session", {C::analyze}},
        {"crée une piste midi", session(), "Créer une piste MIDI", {C::createMidiTrack}},
        {"nouvelle piste audio", session(), "Créer une piste audio", {C::createAudioTrack}},
        {"baisse la piste à -6 dB", session(0), "Régler la piste sélectionnée à -6 dB", {C::trackVolume}},
        {"baisse la piste à -6 dB", session(), "Diagnostic de session", {C::analyze}},
        {"baisse la piste à -75 dB", session(0), "Diagnostic de session", {C::analyze}},
        {"mute la piste", session(0), "Activer mute", {C::trackState}},
        {"désarme la piste", session(0), "Désactiver arm", {C::trackState}},
        {"renomme la piste en « Lead »", session(3), "Renommer en « Lead »", {C::renameTrack}},
        // Without a name, dB or flag, a rename falls through to the later rules.
        {"renomme la piste", session(3), "Diagnostic de session", {C::analyze}},
        {"renomme la piste et mets-la à -3 dB", session(3), "Régler la piste sélectionnée à -3 dB", {C::trackVolume}},
        {"mets le tempo à 128", session(), "Régler le tempo à 128 BPM", {C::tempo}},
        {"124,5 bpm", session(), "Régler le tempo à 124.5 BPM", {C::tempo}},
        {"tempo 300", session(), "Diagnostic de session", {C::analyze}},
        {"tempo 35", session(), "Diagnostic de session", {C::analyze}},
        {"stop", session(), "Arrêter la lecture", {C::stop}},
        {"mets pause", session(), "Arrêter la lecture", {C::stop}},
        {"lance la lecture", session(), "Lancer la lecture", {C::play}},
        // "lance" inside "balance": a plain substring test.
        {"équilibre la balance", session(), "Lancer la lecture", {C::play}},
        {"comment va mon mix ?", session(), "Diagnostic de session", {C::analyze}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prompt);
        SafeActionPlan plan = SafeActionPlanner::plan(row.prompt, row.context);
        EXPECT_EQ(plan.title, row.title);
        EXPECT_EQ(commands(plan), row.commands);
        EXPECT_EQ(plan.expectedRevision, 41);
        EXPECT_EQ(plan.source, "local-safety-planner");
        // The plan and each step have fresh upper-case UUIDs.
        std::set<std::string> ids = {plan.planId};
        for (const auto& action : plan.actions) ids.insert(action.id);
        EXPECT_EQ(ids.size(), plan.actions.size() + 1);
        for (const auto& id : ids) {
            EXPECT_TRUE(id.size() == 36 && id.find_first_not_of("0123456789ABCDEF-") == std::string::npos) << id;
        }
    }
}

TEST(Refusals, EachSaysWhatIsMissing) {
    struct Row {
        const char* prompt;
        PlanningContext context;
        SafePlannerErrorCase error;
    };
    const Row rows[] = {
        {"   \n\t", session(), SafePlannerErrorCase::emptyPrompt},
        {"annule la dernière action", session(), SafePlannerErrorCase::nothingToUndo},
        {"annule tout depuis 10 minutes", session(), SafePlannerErrorCase::nothingToUndo},
        {"humanise la bassline", session(2, false), SafePlannerErrorCase::midiTrackNotSelected},
        {"humanise la bassline", session(std::nullopt, true), SafePlannerErrorCase::midiTrackNotSelected},
        {"crée une progression d'accords", session(), SafePlannerErrorCase::missingMusicalKey},
        {"crée un pattern de batterie", session(0, true, std::nullopt), SafePlannerErrorCase::targetTrackUnknown},
        {"crée un kick sur cette piste", session(std::nullopt, true), SafePlannerErrorCase::targetTrackUnknown},
        {"écoute le master sur 33 mesures", session(), SafePlannerErrorCase::listenLengthOutOfRange},
        {"écoute le master sur 0 mesure", session(), SafePlannerErrorCase::listenLengthOutOfRange},
        {"measure the master for 100 bars", session(), SafePlannerErrorCase::listenLengthOutOfRange},
        {"écoute le master sur 99999999999999999999 mesures", session(), SafePlannerErrorCase::listenLengthOutOfRange},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prompt);
        try {
            SafeActionPlanner::plan(row.prompt, row.context);
            ADD_FAILURE() << "planned";
        } catch (const SafePlannerError& error) {
            EXPECT_EQ(error.kind(), row.error);
            if (row.error != SafePlannerErrorCase::emptyPrompt) {
                EXPECT_NE(error.description(), "Écris une instruction avant de préparer le plan.");
            }
        }
    }
}

TEST(UndoPlan, RestoresUpToEightRecentActions) {
    SafeActionPlan plan = SafeActionPlanner::plan("annule tout depuis 10 minutes", session(std::nullopt, false, 6, 0, 12));
    EXPECT_EQ(plan.title, "Annuler les 8 actions Vantorel récentes");
    EXPECT_EQ(plan.intent, "Restaurer 8 états réversibles enregistrés dans les 10 dernières minutes.");
    ASSERT_EQ(plan.actions.size(), 8u);
    EXPECT_EQ(plan.actions[0].title, "Restaurer l’action 1 sur 8");
    EXPECT_EQ(plan.actions[7].title, "Restaurer l’action 8 sur 8");
    EXPECT_FALSE(plan.actions[7].reversible);

    SafeActionPlan three = SafeActionPlanner::plan("annuler tout des 10 dernieres minutes", session(std::nullopt, false, 6, 0, 3));
    EXPECT_EQ(three.actions.size(), 3u);
    SafeActionPlan one = SafeActionPlanner::plan("undo", session(std::nullopt, false, 6, 0, 5));
    EXPECT_EQ(one.intent, "Restaurer 1 état réversible enregistré dans les 10 dernières minutes.");
    EXPECT_EQ(one.actions[0].title, "Restaurer la dernière action");
}

TEST(GeneratedMidi, BasslineOnANewTrack) {
    SafeActionPlan plan = SafeActionPlanner::plan("Crée une bassline en fa mineur sur 16 mesures", session(std::nullopt, false, 5, 12.5));
    ASSERT_EQ(plan.actions.size(), 2u);
    const auto& track = plan.actions[0];
    EXPECT_EQ(track.title, "Créer la piste Bass");
    EXPECT_EQ(track.name, "Vantorel Bass");
    EXPECT_FALSE(track.trackIndex.has_value());
    const auto& clip = plan.actions[1];
    EXPECT_EQ(clip.detail, "32 notes MIDI sur 8 mesures, entièrement éditables après création · tonalité F minor.");
    EXPECT_EQ(clip.name, "Vantorel Bassline · F minor");
    EXPECT_EQ(clip.trackIndex, 5);
    EXPECT_EQ(clip.length, 32.0);
    EXPECT_EQ(clip.startTime, 12.5);
    EXPECT_EQ(clip.notes->front().pitch, 41);
    EXPECT_TRUE(clip.reversible);
}

TEST(GeneratedMidi, DrumsChordsAndRollingBass) {
    SafeActionPlan drums = SafeActionPlanner::plan("crée un pattern de batterie", session(std::nullopt, false, 2, -8));
    const auto& clip = drums.actions.back();
    EXPECT_EQ(clip.detail, "44 notes MIDI sur 4 mesures, entièrement éditables après création.");
    EXPECT_EQ(clip.name, "Vantorel Groove");
    EXPECT_EQ(clip.startTime, 0.0);  // a playhead before the start
    EXPECT_EQ(drums.actions.front().name, "Vantorel Drums");

    // Drums win over chords, and never ask for a key.
    SafeActionPlan both = SafeActionPlanner::plan("fais un kick et des accords", session());
    EXPECT_EQ(both.title, "Créer un groove MIDI de 4 mesures");

    SafeActionPlan chords = SafeActionPlanner::plan("je voudrais une progression midi en do majeur sur 2 mesures",
                                                    session(4, true));
    EXPECT_EQ(chords.actions.back().name, "Vantorel Chords · C major");
    EXPECT_EQ(chords.actions.back().notes->size(), 6u);

    SafeActionPlan rolling = SafeActionPlanner::plan("génère une bassline rolling en sol mineur sur 1 mesure", session());
    EXPECT_EQ(rolling.actions.back().notes->size(), 5u);
    EXPECT_EQ(rolling.actions.back().length, 4.0);
}

TEST(NewClip, DetailNamesTrackLengthAndPosition) {
    SafeActionPlan plan = SafeActionPlanner::plan("crée un clip midi de 3 mesures nommé Intro", session(2, true, 6, 6.5));
    EXPECT_EQ(plan.title, "Créer un clip MIDI de 3 mesures");
    EXPECT_EQ(plan.actions[0].detail, "Piste 3 · 12 temps à partir de 6.5.");
    EXPECT_EQ(plan.actions[0].length, 12.0);
    EXPECT_EQ(plan.actions[0].name, "Intro");
    EXPECT_FALSE(plan.actions[0].notes.has_value());
    EXPECT_EQ(SafeActionPlanner::plan("crée un clip midi de 1 mesure", session(2, true)).title,
              "Créer un clip MIDI de 1 mesure");
}

TEST(TrackSteps, TextsAndFields) {
    SafeActionPlan volume = SafeActionPlanner::plan("baisse la piste à -6,5 dB", session(0));
    EXPECT_EQ(volume.title, "Régler la piste sélectionnée à -6.5 dB");
    EXPECT_EQ(volume.actions[0].detail, "Piste 1 · valeur affichée -6.5 dB.");
    EXPECT_EQ(volume.actions[0].displayDb, -6.5);

    SafeActionPlan state = SafeActionPlanner::plan("désarme la piste", session(4));
    EXPECT_EQ(state.actions[0].title, "Désactiver arm");
    EXPECT_EQ(state.actions[0].detail, "Piste 5 · action annulable.");
    EXPECT_EQ(state.actions[0].enabled, false);

    SafeActionPlan rename = SafeActionPlanner::plan("Renomme la piste en « Lead »", session(3));
    EXPECT_EQ(rename.actions[0].name, "Lead");
    EXPECT_EQ(rename.actions[0].detail, "Piste 4 · clips, devices et routage conservés.");

    SafeActionPlan track = SafeActionPlanner::plan("ajoute une piste midi appelée Pad", session());
    EXPECT_EQ(track.actions[0].name, "Pad");

    SafeActionPlan tempo = SafeActionPlanner::plan("mets le tempo à 128", session());
    EXPECT_EQ(tempo.actions[0].tempo, 128.0);
    EXPECT_FALSE(tempo.actions[0].reversible);
}

TEST(MasterListen, BarsAndStartOfTheCapture) {
    PlanningContext song = session(std::nullopt, false, 6, 37.5);  // playhead in bar 10
    song.beatsPerBar = 4;
    song.locators = {{"Break", 96}, {"Break 2", 160}, {"Le Drop", 64}, {"A", 8}};
    struct Row {
        const char* prompt;
        double bars;
        double startTime;
        const char* detailStart;
    };
    const Row rows[] = {
        {"écoute le master sur 4 mesures à partir de la mesure 17", 4, 64, "4 mesures à partir de la mesure 17"},
        {"Écoute le master à la fin", 8, 36, "8 mesures à partir de la mesure 10"},
        {"listen to the master, 16 bars from bar 9", 16, 32, "16 mesures à partir de la mesure 9"},
        {"vérifie la crête sur le drop, 1 mesure", 1, 64, "1 mesure à partir du repère « Le Drop »"},
        {"mesure le master au break 2", 8, 160, "8 mesures à partir du repère « Break 2 »"},
        {"analyse le master à partir de la mesure 0", 8, 0, "8 mesures à partir de la mesure 1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.prompt);
        SafeActionPlan plan = SafeActionPlanner::plan(row.prompt, song);
        EXPECT_EQ(plan.title, "Écouter le master");
        ASSERT_EQ(commands(plan), std::vector<C>{C::listenMaster});
        const SafePlanAction& step = plan.actions[0];
        EXPECT_EQ(step.length, row.bars);
        EXPECT_EQ(step.startTime, row.startTime);
        EXPECT_FALSE(step.reversible);
        EXPECT_EQ(step.mode, "write");
        EXPECT_EQ(step.detail, std::string(row.detailStart) +
                                   " · la lecture démarre et s’arrête seule; une piste temporaire est ajoutée puis "
                                   "retirée.");
        EXPECT_NO_THROW(SafePlanValidator::validate(plan, 41));
    }
    // Three beats to the bar: bar 5 starts at beat 12.
    song.beatsPerBar = 3;
    EXPECT_EQ(SafeActionPlanner::plan("mesure la loudness à partir de la mesure 5", song).actions[0].startTime, 12);
    EXPECT_TRUE(SafeActionPlanner::isExplicitAction("écoute le mix"));
}

}  // namespace
}  // namespace vantorel::SafeActionPlanner
