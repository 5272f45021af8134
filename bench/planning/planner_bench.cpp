// The local planner on the requests a producer types most, after warm-up (the
// first call of each expression compiles it). Each iteration plans one
// request of the list in turn, so the figure is a per-request time.
#include "planning/plan_validator.h"
#include "planning/safe_action_planner.h"

#include <benchmark/benchmark.h>

#include <array>
#include <string_view>

namespace {

using namespace vantorel;

constexpr std::array<std::string_view, 16> requests = {
    "mets le tempo à 128",
    "124,5 bpm",
    "baisse la piste à -6 dB",
    "crée une bassline en fa mineur sur 16 mesures",
    "crée un pattern de batterie",
    "crée une progression d'accords en D♭ major",
    "crée un clip midi de 3 mesures",
    "renomme la piste en « Lead »",
    "désarme la piste",
    "équilibre la balance",
    "annule tout depuis 10 minutes",
    "rallonge l'intro et ajoute un riser",
    "organise ma session et colore les pistes",
    "transforme ma loop en arrangement club complet",
    "rends le clip midi plus groovy",
    "what should I fix before the drop?",
};

SafeActionPlanner::PlanningContext session() {
    SafeActionPlanner::PlanningContext context;
    context.revision = 42;
    context.selectedTrackIndex = 4;
    context.selectedTrackIsMidi = true;
    context.trackCount = 8;
    context.currentTime = 16;
    context.recentActionCount = 3;
    return context;
}

void planOne(benchmark::State& state, bool validate) {
    const auto context = session();
    for (std::string_view request : requests) {  // warm-up: compile every expression
        try {
            SafeActionPlanner::plan(request, context);
        } catch (const SafePlannerError&) {
        }
    }
    std::size_t next = 0;
    for (auto _ : state) {
        try {
            auto plan = SafeActionPlanner::plan(requests[next], context);
            if (validate) SafePlanValidator::validate(plan, context.revision);
            benchmark::DoNotOptimize(plan);
        } catch (const SafePlannerError&) {
        }
        next = (next + 1) % requests.size();
    }
}

void BM_Plan(benchmark::State& state) { planOne(state, false); }
void BM_PlanAndValidate(benchmark::State& state) { planOne(state, true); }

void BM_IsExplicitAction(benchmark::State& state) {
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SafeActionPlanner::isExplicitAction(requests[next]));
        next = (next + 1) % requests.size();
    }
}

BENCHMARK(BM_Plan)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlanAndValidate)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsExplicitAction)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
