// The loop-thread share of the controller's flows on a large Live Set (64
// tracks of 48 clips and 10 devices): the project picture of an answer, the
// one copy a question takes of the mirror, and the progress events of a
// 1,000-set scan as the page receives them.
#include "app/app_delegate.h"
#include "app/project_visual.h"

#include <benchmark/benchmark.h>

namespace {

using nlohmann::json;

json track(int index, bool selected) {
    json clips = json::array();
    for (int c = 0; c < 48; ++c) {
        clips.push_back({{"name", "Clip " + std::to_string(c)}, {"type", "midi"}, {"startTimeBeats", c * 16},
                         {"endTimeBeats", c * 16 + 16}, {"lengthBeats", 16}, {"notes", json::array({36, 38, 42})}});
    }
    json devices = json::array();
    for (int d = 0; d < 10; ++d) {
        json parameters = json::array();
        for (int p = 0; p < 40; ++p) parameters.push_back({{"name", "P" + std::to_string(p)}, {"value", p * 0.025}});
        devices.push_back({{"name", "Device " + std::to_string(d)}, {"parameters", parameters}});
    }
    static const char* roles[] = {"drums", "bass", "lead", "pad", "fx", "vocal", "perc", "keys", "other", "sub"};
    return {{"index", index},         {"name", "Track " + std::to_string(index + 1)},
            {"selected", selected},   {"inferredRole", roles[index % 10]},
            {"hasContent", index % 3 != 0}, {"clipDetails", clips},
            {"devices", devices}};
}

json largeContext() {
    json tracks = json::array();
    for (int i = 0; i < 64; ++i) tracks.push_back(track(i, i == 5));
    return {{"session", {{"tempo", 126}, {"revision", 42}}},
            {"projectAnalysis",
             {{"project", "Nuit"}, {"arrangementLengthBars", 128}, {"sectionCountFromLocators", 8}, {"tracks", tracks}}}};
}

void VisualOf64Tracks(benchmark::State& state) {
    json context = largeContext();
    for (auto _ : state) benchmark::DoNotOptimize(vantorel::projectVisualPayload("analyse mon arrangement", context));
}
BENCHMARK(VisualOf64Tracks)->Unit(benchmark::kMicrosecond);

// What askTechnicalQuestion does on the loop before the work leaves it.
void QuestionCopyOf64Tracks(benchmark::State& state) {
    json context = largeContext();
    json snapshot = {{"project", "Nuit"}, {"tempo", 126}};
    std::vector<vantorel::RemoteChatTurn> history(12, {"user", std::string(1500, 'a')});
    state.counters["contextBytes"] = static_cast<double>(context.dump().size());
    for (auto _ : state) {
        auto copy = std::make_shared<std::tuple<json, json, std::vector<vantorel::RemoteChatTurn>>>(context, snapshot,
                                                                                                   history);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(QuestionCopyOf64Tracks)->Unit(benchmark::kMillisecond);

struct NullWeb : vantorel::WebChannel {
    std::size_t count = 0;
    void deliver(const std::string&) override { ++count; }
};

// 1,000 progress events built, serialised and delivered on the loop.
void ScanProgressEvents(benchmark::State& state) {
    vantorel::MainLoop loop;
    NullWeb web;
    struct : vantorel::Shell {
        void keepPanelVisible() override {}
        void presentPanelForLive() override {}
        void showPanelUnlessHidden() override {}
        void hidePanel() override {}
        void minimize() override {}
        void setCompact(bool) override {}
        vantorel::LoginItemStatus loginItem() override { return {}; }
        bool registerLoginItem(bool) override { return true; }
        void openLoginSettings() override {}
        void chooseFolder(std::function<void(std::optional<std::filesystem::path>)>) override {}
        bool openDocument(const std::filesystem::path&) override { return false; }
    } shell;
    struct : vantorel::RunningApplications {
        bool isAbletonRunning() const override { return false; }
        void observe(std::function<void()>, std::function<void()>) override {}
    } applications;
    vantorel::AppSettings settings;
    settings.dataFolder = std::filesystem::temp_directory_path() / "vantorel-flows-bench";
    vantorel::AppDelegate app(loop, web, shell, applications, settings);
    for (auto _ : state) {
        for (int done = 0; done <= 1000; ++done) {
            app.send("projectScanProgress", json{{"running", done < 1000}, {"completed", done}, {"total", 1000}});
        }
    }
    benchmark::DoNotOptimize(web.count);
}
BENCHMARK(ScanProgressEvents)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
