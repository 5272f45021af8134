#include "planning/request_recognition.h"
#include "planning/safe_action_planner.h"

#include <gtest/gtest.h>

namespace vantorel::SafeActionPlanner {
namespace {

TEST(ExplicitKey, ReadsRootsAndModes) {
    struct Row {
        const char* text;
        std::optional<MusicalKey> key;
    };
    const Row rows[] = {
        {"cree une bassline en fa mineur", MusicalKey{5, true, "F minor"}},
        {"bassline en f minor", MusicalKey{5, true, "F minor"}},
        {"accords en do majeur", MusicalKey{0, false, "C major"}},
        {"accords en c# min sur 4 mesures", MusicalKey{1, true, "C♯ minor"}},
        {"accords en eb major", MusicalKey{3, false, "E♭ major"}},
        {"bassline en bb minor", MusicalKey{10, true, "B♭ minor"}},
        // "la" (the article) is a solfège token tried before the letters.
        {"cree une bassline sur la piste en f minor", MusicalKey{9, true, "A minor"}},
        // Minor wins when both words are present.
        {"sol majeur ou mineur", MusicalKey{7, true, "G minor"}},
        // The display names Vantorel writes itself read back.
        {"bassline · tonalite f♯ minor", MusicalKey{6, true, "F♯ minor"}},
        {"accords · tonalite d♭ major", MusicalKey{1, false, "D♭ major"}},
        {"accords · tonalite a♭ minor", MusicalKey{8, true, "A♭ minor"}},
        {"cree une bassline", std::nullopt},                  // no mode word
        {"bassline en fa", std::nullopt},                     // no mode word
        {"bassline minimale en mineur", std::nullopt},        // a mode but no root token
        {"bassline fat minor", std::nullopt},                 // "f" inside a word is no token
        {"fa2 minor", std::nullopt},                          // digits glue the token to a word
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(explicitKey(row.text), row.key);
    }
}

TEST(Extractors, BarsDecibelsAndTempo) {
    EXPECT_EQ(barsCount("sur 16 mesures"), 16);
    EXPECT_EQ(barsCount("8bars"), 8);
    EXPECT_EQ(barsCount("1 mesure"), 1);
    EXPECT_EQ(barsCount("0 mesure"), std::nullopt);
    EXPECT_EQ(barsCount("123 mesures"), 23);  // two digits at most, the first digit non-zero
    EXPECT_EQ(barsCount("quatre mesures"), std::nullopt);

    EXPECT_EQ(decibels("baisse la piste a -6 db"), -6.0);
    EXPECT_EQ(decibels("mets la piste a -4,5 db"), -4.5);
    EXPECT_EQ(decibels("monte a 6 d b"), 6.0);
    EXPECT_EQ(decibels("a 7 db"), std::nullopt);
    EXPECT_EQ(decibels("a -75 db"), std::nullopt);
    EXPECT_EQ(decibels("a -70 db"), -70.0);
    // A typographic minus is still a minus: +6 dB for "−6 dB" would be loud.
    EXPECT_EQ(decibels("baisse la piste a \u22126 db"), -6.0);

    EXPECT_EQ(tempoValue("mets le tempo a 128"), 128.0);
    EXPECT_EQ(tempoValue("124,5 bpm"), 124.5);
    EXPECT_EQ(tempoValue("passe a 90.5bpm"), 90.5);
    EXPECT_EQ(tempoValue("bpm: 240"), 240.0);
    EXPECT_EQ(tempoValue("tempo 300"), std::nullopt);
    EXPECT_EQ(tempoValue("tempo 35"), std::nullopt);
    EXPECT_EQ(tempoValue("le tempo du morceau"), std::nullopt);
}

TEST(RequestedName, KeepsTheProducersSpelling) {
    struct Row {
        const char* prompt;
        std::optional<std::string> name;
    };
    const Row rows[] = {
        {"crée une piste midi nommée Lead Synth", "Lead Synth"},
        {"ajoute une piste audio appelée « Vox FX »", "Vox FX"},
        {"ajoute une piste audio appelée Vox FX !", "Vox FX"},
        // Text after the closing quote: the name is not where the request ends.
        {"ajoute une piste audio appelée « Vox FX » !", std::nullopt},
        {"Crée une piste MIDI NOMMÉE \"Kick 2\"", "Kick 2"},
        {"renomme la piste en « Lead »", "Lead"},
        {"rename the track to 'Bass'", "Bass"},
        // Regression: "nomme" inside "renomme" named the track "la piste".
        {"renomme la piste", std::nullopt},
        {"renomme la piste en Lead", std::nullopt},
        {"crée une piste midi nommée ...", std::nullopt},  // nothing left after the punctuation
        {"crée une piste midi", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prompt);
        EXPECT_EQ(requestedName(row.prompt), row.name);
    }
}

TEST(TrackStateAndStyle, FirstRuleWins) {
    using State = std::optional<std::pair<std::string, bool>>;
    EXPECT_EQ(trackState("desarme la piste"), State({"arm", false}));  // though it contains "arme la piste"
    EXPECT_EQ(trackState("arme la piste"), State({"arm", true}));
    EXPECT_EQ(trackState("unmute la basse"), State({"mute", false}));
    EXPECT_EQ(trackState("mets en mute"), State({"mute", true}));
    EXPECT_EQ(trackState("enleve le solo"), State({"solo", false}));
    EXPECT_EQ(trackState("solo la piste"), State({"solo", true}));
    EXPECT_EQ(trackState("monte le son"), State());

    EXPECT_EQ(midiTransformation("rends-la moins robotique et plus groovy"), "humanize");
    EXPECT_EQ(midiTransformation("plus de swing"), "groove");
    EXPECT_EQ(midiTransformation("fais evoluer le clip"), "variation");
    EXPECT_EQ(midiTransformation("plus creatif"), "creative");
}

TEST(Predicates, DecideWhatIsAnAction) {
    struct Row {
        const char* text;
        bool explicitAction;
        bool needsKey;
        bool followUp;
        bool namesKey;
    };
    const Row rows[] = {
        {"Crée une bassline en fa mineur", true, false, false, true},
        {"crée une bassline", false, true, false, false},  // stops at the MIDI part test
        {"crée une progression d'accords", false, true, false, false},
        {"crée un pattern de batterie", true, false, false, false},
        {"crée un kick", true, false, false, false},
        {"mets le tempo à 128", true, false, false, false},
        {"le tempo est à 128 ?", false, false, false, false},  // a number without a verb
        {"annule la dernière action", true, false, false, false},
        {"arrangement club complet", true, false, false, false},
        {"renomme la piste en « Lead »", true, false, false, false},
        {"désarme la piste 2", true, false, false, false},
        {"améliore le clip midi", true, false, true, false},
        {"rends-la plus groovy", false, false, true, false},
        {"pourquoi je bloque à l’étape 3 ?", false, false, false, false},
        {"la gamme est en ré mineur ?", false, false, false, true},
        {"importe un sample de kick depuis ma bibliothèque", true, false, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(isExplicitAction(row.text), row.explicitAction);
        EXPECT_EQ(needsMusicalKeyClarification(row.text), row.needsKey);
        EXPECT_EQ(isMidiImprovementFollowUp(row.text), row.followUp);
        EXPECT_EQ(hasExplicitMusicalKey(row.text), row.namesKey);
    }
}

TEST(ResolveMusicalKey, FoldsTheReplyIntoTheRequest) {
    EXPECT_EQ(resolveMusicalKeyClarification("  crée une bassline ", "F minor"),
              "crée une bassline · tonalité F minor");
    EXPECT_EQ(resolveMusicalKeyClarification("crée des accords", "plutôt f# mineur"),
              "crée des accords · tonalité F♯ minor");
    // Read after the marker, and before what the producer rules out.
    EXPECT_EQ(resolveMusicalKeyClarification("crée une bassline",
                                             "Sol mineur ? Je valide : Ré mineur, je ne retiens pas sol majeur"),
              "crée une bassline · tonalité D minor");
    // Regression: invalid UTF-8 before "je valide :" threw out_of_range.
    EXPECT_EQ(resolveMusicalKeyClarification("crée une bassline", "\xe7\xe7\xe7\xff je valide : Ré mineur"),
              "crée une bassline · tonalité D minor");
    EXPECT_EQ(resolveMusicalKeyClarification("crée une bassline", "aucune idée"), std::nullopt);
    EXPECT_EQ(resolveMusicalKeyClarification("crée un pattern de batterie", "F minor"), std::nullopt);
    EXPECT_EQ(resolveMusicalKeyClarification("crée une bassline en sol mineur", "F minor"), std::nullopt);

    // The result plans with the key it names, sharps included.
    auto combined = resolveMusicalKeyClarification("crée une bassline", "F♯ minor");
    ASSERT_TRUE(combined);
    auto plan = SafeActionPlanner::plan(*combined, 1, std::nullopt, false, 3, 0, 0);
    EXPECT_EQ(plan.title, "Créer une bassline MIDI en F♯ minor");
    EXPECT_EQ(plan.actions.back().notes->front().pitch, 6 + 36);
}

}  // namespace
}  // namespace vantorel::SafeActionPlanner
