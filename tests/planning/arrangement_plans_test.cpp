#include "planning/arrangement_plans.h"
#include "planning/request_recognition.h"
#include "planning/safe_action_planner.h"

#include <gtest/gtest.h>

#include <numeric>

namespace vantorel::SafeActionPlanner {
namespace {

using Phase = std::vector<std::string>;

SafeActionPlan planFor(std::string_view prompt, double time = 0) {
    return SafeActionPlanner::plan(prompt, PlanningContext{7, std::nullopt, false, 4, time, 0, 4, {}});
}

std::int64_t totalBars(const std::vector<SafeArrangementSection>& sections) {
    return std::accumulate(sections.begin(), sections.end(), std::int64_t{0},
                           [](std::int64_t sum, const SafeArrangementSection& s) { return sum + s.bars; });
}

TEST(SamplePlan, RoleAndStart) {
    struct Row {
        const char* prompt;
        const char* role;
        const char* title;
    };
    const Row rows[] = {
        {"importe un sample de kick depuis ma bibliothèque", "kick", "Importer un sample de kick"},
        {"ajoute une basse de la library", "bass", "Importer un sample de son de basse"},
        {"pioche une bass drum dans un pack", "kick", "Importer un sample de kick"},  // the kick row comes first
        {"trouve une boucle de percussions dans mes samples", "percussion", "Importer un sample de perc"},
        {"prends une voix dans la user library", "vocal", "Importer un sample de vocal"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prompt);
        SafeActionPlan plan = planFor(row.prompt, -4);
        EXPECT_EQ(plan.title, row.title);
        ASSERT_EQ(plan.actions.size(), 1u);
        EXPECT_EQ(plan.actions[0].sampleRole, row.role);
        EXPECT_EQ(plan.actions[0].sampleQuery, row.prompt);
        EXPECT_EQ(plan.actions[0].startTime, 0.0);
    }
    EXPECT_FALSE(isSampleImportRequest("importe un sample"));  // no role keyword
    // A very long request is cut to what a step may carry.
    std::string longPrompt = "importe un sample de kick " + std::string(400, 'x');
    EXPECT_EQ(planFor(longPrompt).actions[0].sampleQuery->size(), 300u);
}

TEST(IntroRiserPlan, LongIntroAndRiserBeforeTheDrop) {
    SafeActionPlan plan = planFor("Rallonge l'intro et ajoute un riser");
    ASSERT_EQ(plan.actions.size(), 2u);
    const auto& sections = *plan.actions[0].arrangementSections;
    EXPECT_EQ(totalBars(sections), 136);
    EXPECT_EQ(sections[0].phaseRoles[0], (Phase{"kick", "hat"}));
    EXPECT_EQ(sections[3].phaseRoles[1].size(), 12u);  // every role but the vocal
    const auto& riser = plan.actions[1];
    EXPECT_EQ(riser.arrangementRelativeStart, 160.0);
    EXPECT_FALSE(riser.startTime.has_value());
    EXPECT_EQ(riser.sampleRole, "fx");
    EXPECT_EQ(riser.sampleQuery, "Rallonge l'intro et ajoute un riser");
}

TEST(ArrangementPlan, FixedTemplateWithoutSections) {
    SafeActionPlan plan = planFor("transforme ma loop en morceau");
    ASSERT_EQ(plan.actions.size(), 1u);
    EXPECT_EQ(plan.actions[0].title, "Construire un arrangement DJ-ready de 128 mesures");
    EXPECT_FALSE(plan.actions[0].arrangementSections.has_value());
    EXPECT_TRUE(isArrangementRequest("fais un morceau avec ma boucle"));
    EXPECT_FALSE(isArrangementRequest("avec ma boucle"));
}

TEST(ArrangementPlan, CustomStructureFromTheRequest) {
    SafeActionPlan plan = planFor(
        "Arrangement club complet : intro 32 mesures, premier drop mesure 65 pendant 16, break 16, outro 16");
    const auto& action = plan.actions[0];
    EXPECT_EQ(action.title, "Construire l’arrangement personnalisé de 152 mesures");
    ASSERT_TRUE(action.arrangementSections);
    std::vector<std::int64_t> bars;
    for (const auto& s : *action.arrangementSections) bars.push_back(s.bars);
    EXPECT_EQ(bars, (std::vector<std::int64_t>{32, 24, 8, 16, 16, 8, 32, 16}));
    EXPECT_FALSE(action.sourceSceneIndex.has_value());
    EXPECT_EQ(plan.intent,
              "Respecter l’arrangement personnalisé demandé, viser environ 5 min 30, préserver tous les clips sources "
              "et utiliser la scène 1 comme SOURCE LOOP.");
    EXPECT_EQ(action.detail,
              "Intro 32 · basse mesure 17 · Groove 24 · Drop 1 mesure 65 pendant 16 · Break 16 sans percussions · "
              "Build 2 8 avec riser/FX · Drop 2 32 · Outro 16 · total 152 mesures · cible 5 min 30 · sources "
              "protégées.");
    const auto& outro = action.arrangementSections->back();
    EXPECT_EQ(outro.phaseRoles[0].size(), 7u);  // OUTRO-A, then OUTRO-B
    EXPECT_EQ(outro.phaseRoles[1].size(), 5u);

    // The same structure without an arrangement phrase is no arrangement request.
    EXPECT_EQ(planFor("arrangement avec intro 32 mesures, premier drop mesure 65 pendant 16, break 16, outro 16").title,
              "Diagnostic de session");
}

TEST(ArrangementPlan, CustomStructureDetails) {
    auto defaults = detailedArrangement("intro, premier drop, outro");
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->totalBars, 144);

    auto scene = detailedArrangement("intro 16 mesures, premier drop mesure 49, outro 16, scene 0");
    ASSERT_TRUE(scene);
    EXPECT_EQ(scene->sourceSceneIndex, 0);
    EXPECT_NE(scene->intent.find("la scène 1 comme"), std::string::npos);
    auto third = detailedArrangement("intro 16 mesures, premier drop mesure 49, outro 16, scene 3");
    EXPECT_EQ(third->sourceSceneIndex, 2);
    EXPECT_NE(third->intent.find("la scène 3 comme"), std::string::npos);

    auto bass = detailedArrangement("intro 24 mesures, basse mesure 9, premier drop mesure 57, outro 16");
    ASSERT_TRUE(bass);
    EXPECT_EQ(bass->sections[0].phaseRoles,
              (std::vector<Phase>{{"kick", "hat"}, {"kick", "hat", "bass"}, {"kick", "hat", "bass"}}));

    // A groove too short for a phrase becomes 8 bars.
    auto shortGroove = detailedArrangement("intro 16 mesures, premier drop mesure 30, outro 16");
    ASSERT_TRUE(shortGroove);
    EXPECT_EQ(shortGroove->sections[1].bars, 8);

    EXPECT_FALSE(detailedArrangement("intro 12 mesures, premier drop mesure 49, outro 16"));
    EXPECT_FALSE(detailedArrangement("intro 16 mesures, premier drop mesure 45, outro 16"));  // groove of 20
    EXPECT_FALSE(detailedArrangement("intro 16 mesures, outro 16"));
    // An invalid custom structure falls back on the fixed template.
    EXPECT_EQ(planFor("arrangement club : intro 12 mesures, premier drop mesure 49, outro 16").actions[0].title,
              "Construire un arrangement DJ-ready de 128 mesures");
}

TEST(OrganisationAndComposite, Texts) {
    SafeActionPlan grouped = planFor("organise et regroupe les pistes");
    EXPECT_EQ(grouped.intent,
              "Identifier et renommer les pistes d’après leurs clips, devices et notes MIDI, puis analyser la session "
              "avec ces rôles explicites. Le plan ne crée pas de groupes et ne modifie ni l’ordre ni le routage des "
              "pistes.");
    EXPECT_EQ(grouped.actions[1].mode, "read");
    EXPECT_EQ(planFor("colore toutes les pistes").title, "Préparer la session pour le mix");

    SafeActionPlan composite = planFor("analyse mon projet, corrige ce qui bloque et crée les locators");
    ASSERT_EQ(composite.actions.size(), 3u);
    EXPECT_FALSE(composite.actions[1].arrangementSections.has_value());
    EXPECT_EQ(composite.actions[1].title, "Corriger la structure et créer les repères");
}

}  // namespace
}  // namespace vantorel::SafeActionPlanner
