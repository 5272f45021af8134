#include "agent/deterministic_answers.h"

#include "planning/safe_action_planner.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vantorel {
namespace {

using nlohmann::json;
using namespace EmbeddedAgentClient;

json tracksContext(json tracks) { return {{"projectAnalysis", {{"tracks", std::move(tracks)}}}}; }

const std::string kDestructiveTail =
    " Je te montre d’abord la portée exacte, puis j’attends ton accord avant toute modification.";

TEST(PreflightAnswer, FixedAnswersAndActionLines) {
    json none = json::object();
    EXPECT_EQ(deterministicPreflightAnswer("Crée une piste MIDI de basse", none, {}),
              "VANTOREL_ACTION: Crée une piste MIDI nommée Bass");
    EXPECT_NE(deterministicPreflightAnswer("Crée une piste MIDI de basse avec un pattern", none, {}),
              "VANTOREL_ACTION: Crée une piste MIDI nommée Bass");
    EXPECT_EQ(deterministicPreflightAnswer("  Mets un peu plus de GROOVE \n", none, {}),
              "Tu veux ajouter du groove sur quelle cible : les hats/percussions, la basse, ou le clip MIDI "
              "actuellement sélectionné ?");
    EXPECT_EQ(deterministicPreflightAnswer("Mets un peu plus de groove sur la basse", none, {}), std::nullopt);
    auto capability = deterministicPreflightAnswer("Qu'est-ce que tu sais faire exactement ?", none, {});
    ASSERT_TRUE(capability);
    EXPECT_EQ(capability->rfind("Je peux **analyser ta session**", 0), 0u);
    // Apostrophes are not folded: the typographic one is another text.
    EXPECT_EQ(deterministicPreflightAnswer("Qu’est-ce que tu sais faire exactement ?", none, {}), std::nullopt);
    EXPECT_EQ(deterministicPreflightAnswer("3h que je galère, j'ai envie de tout supprimer", none, {})->substr(0, 32),
              "Ne supprime rien maintenant : ap");
    EXPECT_EQ(deterministicPreflightAnswer("  Mets le tempo à 128 BPM \n", none, {}),
              "VANTOREL_ACTION: Mets le tempo à 128 BPM");
    EXPECT_EQ(deterministicPreflightAnswer("Pourquoi mon drop manque d'impact ?", none, {}), std::nullopt);
}

TEST(PreflightAnswer, DurationContradiction) {
    auto at = [](json context) {
        return deterministicPreflightAnswer("Fais un morceau de 3 minutes avec 200 mesures", context, {});
    };
    EXPECT_EQ(at(json::object()),
              "Il y a une contradiction : à 124 BPM, **200 mesures durent environ 6 min 27**, pas 3 minutes. Pour "
              "rester proche de 3 minutes, il faudrait environ 93 mesures ; sinon il faut conserver 200 mesures et "
              "accepter cette durée. Quel critère doit primer : 3 minutes ou 200 mesures ?");
    std::string precise = *at({{"session", {{"tempo", 123.5}}}, {"projectAnalysis", {{"tempo", 90}}}});
    EXPECT_NE(precise.find("à 123.5 BPM, **200 mesures durent environ 6 min 29**"), std::string::npos);
    EXPECT_NE(precise.find("environ 93 mesures"), std::string::npos);
    std::string slow = *at({{"session", {{"tempo", "fast"}}}, {"projectAnalysis", {{"tempo", 30}}}});
    EXPECT_NE(slow.find("à 30 BPM, **200 mesures durent environ 20 min 00**"), std::string::npos);
    EXPECT_NE(slow.find("environ 23 mesures"), std::string::npos);
}

TEST(PreflightAnswer, AudioHiHatsHaveNoVelocity) {
    json context = tracksContext({{{"name", "Hat MIDI"}, {"isAudioTrack", false}},
                                  {{"name", "Charley Loop"}, {"isAudioTrack", true}},
                                  {{"name", "Hats 2"}, {"isAudioTrack", true}}});
    auto answer = deterministicPreflightAnswer("Hi-hat en 1/16 avec du swing et vélocité -15 %", context, {});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind("**Charley Loop** contient des clips audio", 0), 0u);
    EXPECT_NE(answer->find("**\u22121,4 dB**"), std::string::npos);
}

TEST(PreflightAnswer, BasslineCorrectionDependsOnTheHistory) {
    json context = tracksContext({{{"name", "Kick"}}, {{"name", "Sub"}, {"inferredRole", "Bass"}}});
    std::string question = "La ligne de basse que tu viens de créer est trop forte";
    auto corrected = deterministicPreflightAnswer(question, context, {});
    EXPECT_EQ(corrected,
              "Je n’ai encore créé aucune bassline dans cette conversation, donc je ne vais pas prétendre modifier "
              "quelque chose qui n’existe pas. Je vois toutefois une piste de basse existante, « Sub », sur laquelle "
              "je peux travailler. Dis-moi simplement si tu veux améliorer cette piste existante ou créer une "
              "nouvelle bassline éditable.");
    std::vector<RemoteChatTurn> history = {{"user", "vas-y"}, {"assistant", "J’ai créé une bassline en F minor."}};
    EXPECT_FALSE(assumesUnrecordedBasslineCreation(question, history));
    EXPECT_NE(deterministicPreflightAnswer(question, context, history), corrected);
    EXPECT_EQ(existingBassTrackName(tracksContext({{{"name", "Pad"}, {"inferredRole", 3}, {"role", "sub bass"}}})),
              "Pad");
    EXPECT_EQ(existingBassTrackName(tracksContext({{{"role", "bass"}}, {{"name", "Basse FM"}}})), std::nullopt);
}

TEST(PreflightAnswer, DestructiveGuardNamesEmptyTracks) {
    json context = tracksContext({{{"name", "Kick"}, {"clips", 4}},
                                  {{"name", "Pad"}, {"clips", 0}},
                                  {{"name", "FX"}, {"clipCount", 0}},
                                  {{"name", "Vox"}},
                                  {{"clips", 0}}});
    EXPECT_EQ(deterministicPreflightAnswer("Supprime les pistes vides", context, {}),
              "Je ne supprimerai rien sans ta confirmation explicite. Les pistes sans clip détectées sont : Pad, FX. "
              "Vider l’arrangement toucherait 4 clips actuellement détectés." + kDestructiveTail + "\n\n");
    EXPECT_EQ(groundingAdjustedAnswer("VANTOREL_ACTION: Supprime la piste Pad", "Efface tout", json::object(), {}),
              "Je ne supprimerai rien sans ta confirmation explicite. Aucune piste vide n’est prouvée par le contexte "
              "actuel. Vider l’arrangement toucherait 0 clips actuellement détectés." + kDestructiveTail);
}

TEST(GroundingAdjustedAnswer, ListeningAndSoundNotes) {
    const std::string disclaimer = "Je n’ai pas écouté le rendu audio ; ce diagnostic est structurel.";
    EXPECT_EQ(groundingAdjustedAnswer("Le kick domine. Je n'ai pas écouté le rendu. Baisse la basse de 1.5 dB...",
                                      "Tu peux écouter mon drop ?", json::object(), {}),
              disclaimer + "\n\nLe kick domine. Baisse la basse de 1.5 dB.");
    // A measurement lets the answer through as it is.
    json measured = {{"projectAnalysis", {{"audioMeasurement", {{"lufs", -9}}}}}};
    EXPECT_EQ(groundingAdjustedAnswer("Le kick domine.", "Tu peux écouter mon drop ?", measured, {}),
              "Le kick domine.");
    EXPECT_EQ(groundingAdjustedAnswer("Le bas est chargé.", "Mon mix sonne boueux", json::object(), {}),
              "Je n’ai pas écouté le rendu audio et je n’ai ici aucune mesure de collision ; ce diagnostic est "
              "structurel.\n\nLe bas est chargé.");
    EXPECT_EQ(groundingAdjustedAnswer("Sans mesure, je dirais que le bas est chargé.", "Mon mix sonne boueux",
                                      json::object(), {}),
              "Sans mesure, je dirais que le bas est chargé.");
    EXPECT_EQ(groundingAdjustedAnswer("VANTOREL_ACTION: Mets le tempo à 128 BPM", "tu entends le kick ?",
                                      json::object(), {}),
              "VANTOREL_ACTION: Mets le tempo à 128 BPM");
}

TEST(GroundingAdjustedAnswer, ResumeStageAndMasterNotes) {
    const std::string resume =
        "Je ne peux pas savoir exactement où tu en étais la dernière fois : aucun historique exploitable de tes "
        "actions n’est enregistré. Je peux en revanche repartir de l’état actuel observé dans la session.";
    EXPECT_EQ(groundingAdjustedAnswer(" Ton drop est prêt. ", "On reprend où j'en étais ?", json::object(), {}),
              resume + "\n\nTon drop est prêt.");
    json timeline = {{"lifecycle", {{"timeline", json::array({{{"stage", 2}}})}}}};
    EXPECT_EQ(groundingAdjustedAnswer("Ton drop est prêt.", "On reprend où j'en étais ?", timeline, {}),
              "Ton drop est prêt.");
    EXPECT_EQ(groundingAdjustedAnswer("Aucun historique, mais ton drop est prêt.", "la dernière fois ?",
                                      json::object(), {}),
              "Aucun historique, mais ton drop est prêt.");

    json stages = {{"lifecycle",
                    {{"milestones", json::array({{{"id", 2}, {"evidence", {"x"}}},
                                                 {{"id", 3.0},
                                                  {"evidence", {"Au moins 8 sections ", ""}},
                                                  {"missing", {"Transitions marquées", 7}}}})}}}};
    EXPECT_EQ(groundingAdjustedAnswer("Il te manque des transitions.", "l’étape 3, il manque quoi ?", stages, {}),
              "Il te manque des transitions.\n\nCritères exacts de l’étape 3 : Au moins 8 sections \u00b7 "
              "Transitions marquées.");
    EXPECT_EQ(groundingAdjustedAnswer("Au moins 8 sections, et transitions marquées.", "etape 3 ?", stages, {}),
              "Au moins 8 sections, et transitions marquées.");

    EXPECT_NE(groundingAdjustedAnswer("Voici.", "Fais le master et l'export", json::object(), {})
                  .find("\n\nAlternative sûre : je peux préparer un **pré-master**"),
              std::string::npos);
    EXPECT_EQ(groundingAdjustedAnswer("Je prépare un Pré-master.", "Fais le master et l'export", json::object(), {}),
              "Je prépare un Pré-master.");
}

TEST(RoutedActionCommand, OnlyOneAllowedActionLine) {
    EXPECT_EQ(routedActionCommand("  VANTOREL_ACTION:   Mets le tempo à 128 BPM \n", std::nullopt),
              "Mets le tempo à 128 BPM");
    EXPECT_EQ(routedActionCommand("OK\nVANTOREL_ACTION: Mets le tempo à 128 BPM", std::nullopt), std::nullopt);
    EXPECT_EQ(userFacingAnswer("OK\nVANTOREL_ACTION: Mets le tempo à 128 BPM"), "OK");
    EXPECT_EQ(routedActionCommand("VANTOREL_ACTION: Mets le tempo à 128 BPM\nVoilà", std::nullopt), std::nullopt);
    EXPECT_EQ(routedActionCommand("VANTOREL_ACTION: Mets le tempo à 128 BPM", "Supprime tout et mets 128"),
              std::nullopt);
    EXPECT_EQ(routedActionCommand("VANTOREL_ACTION:   ", std::nullopt), std::nullopt);
    ASSERT_TRUE(SafeActionPlanner::isExplicitAction("Mute la piste Kick"));
    EXPECT_EQ(routedActionCommand("VANTOREL_ACTION: Mute la piste Kick", std::nullopt), std::nullopt);
    EXPECT_EQ(routedActionCommand("VANTOREL_ACTION: Mute la piste sélectionnée", std::nullopt),
              "Mute la piste sélectionnée");
}

TEST(RoutedActionCommand, PitchedCreationNeedsAKeyInTheQuestion) {
    const std::string line = "VANTOREL_ACTION: Crée une bassline MIDI en F minor sur 4 mesures";
    EXPECT_EQ(routedActionCommand(line, "Fais-moi une bassline en F minor"),
              "Crée une bassline MIDI en F minor sur 4 mesures");
    EXPECT_EQ(routedActionCommand(line, "Fais-moi une bassline"), std::nullopt);
    std::string refused = safetyAdjustedAnswer(line, "Fais-moi une bassline");
    EXPECT_EQ(refused.rfind("Je peux créer cette piste MIDI et son pattern éditable, mais **je ne vais pas inventer "
                            "sa tonalité**.",
                            0),
              0u);
    EXPECT_EQ(safetyAdjustedAnswer(line, "Fais-moi une bassline en F minor"), line);
    EXPECT_EQ(safetyAdjustedAnswer("Une réponse normale.", "Fais-moi une bassline"), "Une réponse normale.");
    // Refused for another reason than the key: left as it is.
    EXPECT_EQ(safetyAdjustedAnswer("VANTOREL_ACTION: Mets le tempo à 128 BPM", "Supprime tout"),
              "VANTOREL_ACTION: Mets le tempo à 128 BPM");
}

TEST(UserFacingAnswer, DropsActionLinesAndNeverShowsNothing) {
    EXPECT_EQ(userFacingAnswer("\nA\n  VANTOREL_ACTION: x\n\nB  \n"), "A\n\nB");
    EXPECT_EQ(userFacingAnswer("VANTOREL_ACTION: Mets le tempo à 128 BPM"),
              "Je ne peux pas préparer cette action en toute sécurité avec les informations actuelles. Précise la "
              "cible ou la valeur exacte, puis réessaie.");
}

TEST(ConnectionFailureMessage, KeepsTheNamedTrack) {
    EXPECT_EQ(connectionFailureMessage(std::runtime_error("boom"), "Analyse ma piste 3"),
              "L’agent IA connecté n’a pas pu répondre. Je garde ta demande sur la piste 3, mais je préfère ne pas "
              "inventer une analyse générique. Vérifie Codex ou Claude dans Configuration, puis réessaie.");
    EXPECT_EQ(connectionFailureMessage(std::string("Error: quota exceeded"), "Et le drop ?"),
              "Error: quota exceeded Je préfère ne pas inventer une analyse générique. Vérifie Codex ou Claude dans "
              "Configuration, puis réessaie.");
}

TEST(KeyQuestions, DetectionRequestAndClarification) {
    EXPECT_TRUE(isKeyDetectionRequest("Dans quelle TONALITÉ est mon morceau ?"));
    EXPECT_TRUE(isKeyDetectionRequest("can you find the key"));
    EXPECT_FALSE(isKeyDetectionRequest("Crée une bassline en fa mineur"));
    EXPECT_EQ(musicalKeyClarificationAnswer().substr(0, 60),
              std::string("Je peux créer la piste et écrire le pattern MIDI maintenant. Il me manque seulement").substr(0, 60));
    EXPECT_EQ(requestedStage("Pourquoi je bloque à l’ÉTAPE 4 ?"), 4);
    EXPECT_EQ(requestedStage("etape 12"), std::nullopt);
}

}  // namespace
}  // namespace vantorel
