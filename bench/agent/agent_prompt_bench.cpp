// Compaction and prompt building for a large Live Set: 64 tracks of 48 clips
// and 10 devices of 40 parameters, 4 returns and a master, and a full
// conversation. Reports the prompt's size as a counter next to the time.
#include "agent/embedded_agent_client.h"

#include <benchmark/benchmark.h>

namespace {

using nlohmann::json;

json device(int index) {
    json parameters = json::array();
    for (int p = 0; p < 40; ++p) {
        parameters.push_back({{"name", "Parameter " + std::to_string(p)}, {"value", p * 0.025},
                              {"displayValue", std::to_string(p) + " %"}, {"automated", p % 7 == 0},
                              {"min", 0}, {"max", 1}});
    }
    return {{"name", "Device " + std::to_string(index)}, {"className", "PluginDevice"}, {"parameters", parameters}};
}

json track(int index, bool selected) {
    json clips = json::array();
    for (int c = 0; c < 48; ++c) {
        clips.push_back({{"name", "Clip " + std::to_string(c)}, {"type", "midi"}, {"startTimeBeats", c * 16},
                         {"endTimeBeats", c * 16 + 16}, {"lengthBeats", 16}, {"playing", c == 3},
                         {"color", c}, {"notes", json::array({36, 38, 42, 46})}});
    }
    json devices = json::array();
    for (int d = 0; d < 10; ++d) devices.push_back(device(d));
    return {{"index", index},
            {"name", "Track " + std::to_string(index + 1)},
            {"selected", selected},
            {"clipDetails", clips},
            {"devices", devices},
            {"mixer", {{"volume", {{"value", 0.85}, {"displayValue", "0.0 dB"}, {"automated", false}, {"min", 0}}},
                       {"panning", {{"value", 0}, {"displayValue", "C"}, {"automated", false}}},
                       {"sends", json::array({{{"value", 0.1}}, {{"value", 0.0}}})}}},
            {"meterWindow", {{"current", 0.4}, {"maximum", 0.9}, {"average", 0.5}, {"observedSeconds", 6},
                             {"samples", json::array({0.1, 0.2, 0.3, 0.4})}}},
            {"inputRouting", "Ext. In"},
            {"outputRouting", "Master"},
            {"frozen", false}};
}

json largeContext() {
    json tracks = json::array();
    for (int i = 0; i < 64; ++i) tracks.push_back(track(i, i == 5));
    json returns = json::array();
    for (int i = 0; i < 4; ++i) returns.push_back(track(100 + i, false));
    return {{"session", {{"tempo", 126}, {"revision", 42}}},
            {"projectAnalysis", {{"tracks", tracks}, {"returnTracks", returns}, {"masterTrack", track(200, false)}}}};
}

std::vector<vantorel::RemoteChatTurn> history() {
    std::vector<vantorel::RemoteChatTurn> turns;
    for (int i = 0; i < 12; ++i) turns.push_back({i % 2 ? "assistant" : "user", std::string(1500, 'a')});
    return turns;
}

void compaction(benchmark::State& state) {
    json context = largeContext();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vantorel::EmbeddedAgentClient::compactedContext(context, "Analyse la piste 12"));
    }
    state.counters["inputBytes"] = static_cast<double>(context.dump().size());
}
BENCHMARK(compaction)->Unit(benchmark::kMillisecond);

void compactionAndPrompt(benchmark::State& state) {
    using namespace vantorel::EmbeddedAgentClient;
    json context = largeContext();
    auto turns = history();
    std::size_t size = 0;
    for (auto _ : state) {
        json compacted = compactedContext(context, "Analyse la piste 12");
        std::string prompt = buildPrompt("Analyse la piste 12", serialisedContext(compacted), turns);
        size = prompt.size();
        benchmark::DoNotOptimize(prompt);
    }
    state.counters["promptBytes"] = static_cast<double>(size);
}
BENCHMARK(compactionAndPrompt)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
