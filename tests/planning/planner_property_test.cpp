// Whatever the request, a plan the local planner returns passes the
// validator at its own revision, and survives its JSON form unchanged.
#include "planning/plan_validator.h"
#include "planning/safe_action_planner.h"

#include <gtest/gtest.h>

#include <random>

namespace vantorel {
namespace {

const char* const fragments[] = {
    "crée", "ajoute", "génère", "fais", "je veux", "une bassline", "des accords", "un pattern de batterie", "un kick",
    "en fa mineur", "en F# minor", "en D♭ major", "en la", "sur 16 mesures", "sur 3 mesures", "sur 99 bars",
    "sur cette piste", "sur la piste sélectionnée", "nommée « Lead »", "appelée Pad", "un clip midi", "une piste audio",
    "nouvelle piste midi", "renomme la piste", "en « Bass »", "à -6 dB", "à -75 dB", "à 6,5 dB", "mute", "désarme",
    "solo", "mets le tempo à 128", "124,5 bpm", "tempo 300", "stop", "lance la lecture", "balance", "annule tout",
    "depuis 10 minutes", "annule la dernière action", "undo", "analyse ma session", "corrige le blocage",
    "crée les repères", "rallonge l'intro", "ajoute un riser", "importe un sample de", "depuis ma bibliothèque",
    "bass drum", "voix", "arrangement club complet", "intro 32 mesures", "premier drop mesure 65", "pendant 16",
    "break 16", "montée 8", "deuxième drop 32", "outro 16", "basse mesure 9", "scene 0", "scene 4",
    "transforme ma loop", "organise", "regroupe les pistes", "humanise", "améliore le clip midi", "plus groovy",
    "rolling", "?", ",", "\n", "   ",
};

std::string randomText(std::mt19937& rng) {
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out;
    for (int i = length(rng); i > 0; --i) out.push_back(static_cast<char>(byte(rng)));
    return out;
}

std::string composedPrompt(std::mt19937& rng) {
    std::uniform_int_distribution<std::size_t> pick(0, std::size(fragments) - 1);
    std::uniform_int_distribution<int> count(1, 6);
    std::string out;
    for (int i = count(rng); i > 0; --i) {
        if (!out.empty()) out += ' ';
        out += fragments[pick(rng)];
    }
    return out;
}

SafeActionPlanner::PlanningContext randomContext(std::mt19937& rng) {
    std::uniform_int_distribution<int> coin(0, 1);
    std::uniform_int_distribution<int> small(0, 12);
    SafeActionPlanner::PlanningContext context;
    context.revision = small(rng) * 7;
    if (coin(rng)) context.selectedTrackIndex = small(rng);
    context.selectedTrackIsMidi = coin(rng) == 1;
    if (coin(rng)) context.trackCount = small(rng);
    context.currentTime = std::uniform_real_distribution<double>(-16, 256)(rng);
    context.recentActionCount = small(rng) + (coin(rng) ? 8 : 0);
    return context;
}

TEST(PlannerProperty, EveryLocalPlanPassesTheValidator) {
    std::mt19937 rng(20240607);
    int planned = 0;
    for (int i = 0; i < 600; ++i) {
        std::string prompt = (i % 5 == 4) ? randomText(rng) : composedPrompt(rng);
        auto context = randomContext(rng);
        SCOPED_TRACE(::testing::Message() << "prompt #" << i << ": " << prompt);
        SafeActionPlan plan;
        try {
            plan = SafeActionPlanner::plan(prompt, context);
        } catch (const SafePlannerError&) {
            continue;  // a refusal is an answer too
        }
        ++planned;
        EXPECT_NO_THROW(SafePlanValidator::validate(plan, context.revision));
        EXPECT_EQ(SafeActionPlan::decode(plan.dictionary()), plan);
    }
    EXPECT_GT(planned, 400);
}

}  // namespace
}  // namespace vantorel
