// The loop thread's share of the controller's flows on a large Live Set (64
// tracks of 48 clips and 10 devices), each flow driven end to end through a
// connected controller against a fake bridge in a child process:
//
// - key detection and clip listening on a 90 s audio clip, a cache miss each
//   time (the key source moves its start by a millisecond per request);
// - one status poll of a master capture;
// - a technical question settled by the fixed rules (the context copy is the
//   loop's work, the rules run off it);
// - the 1,000 progress events of a 1,000-set scan, and the "projectIndex" of
//   the 1,000 sets found (against the tree-and-serialise way in the same run);
// - the project picture of a technical answer.
//
// Times marked "manual" are the loop thread's CPU time (CLOCK_THREAD_CPUTIME_ID
// over the flow, the loop running only the controller); wallMs counters are
// end to end from the call to the answer event.
#include "bench_app.h"

#include "../analysis/bench_signal.h"
#include "../project/live_set_corpus.h"
#include "app/project_visual.h"
#include "common/json.h"

#include <benchmark/benchmark.h>

#include <cstdio>

using namespace vantorel;
using namespace vantorel::bench;

namespace {

// Settled by the fixed rules from the context's tempo: no agent runs.
constexpr const char* kQuestion = "Est-ce que 200 mesures font plus de 3 minutes à ce tempo ?";
constexpr int kStatusPollsPerCapture = 4;

struct Connected {
    MainLoop loop;
    CountingChannel web;
    QuietShell shell;
    LiveRunning applications;
    std::unique_ptr<AppDelegate> app;
    std::string awaited;  // the event that ends the current flow
    std::string answer;   // its envelope
    bool arrived = false;
    std::function<void(std::string_view, const std::string&)> also;

    Connected(const std::filesystem::path& home, const std::filesystem::path& bridgeFile) {
        AppSettings settings = settingsIn(home, bridgeFile);
        settings.intervals.poll = std::chrono::hours(1);
        settings.intervals.retry = std::chrono::hours(1);
        settings.intervals.freshness = std::chrono::hours(1);
        web.onEvent = [this](std::string_view name, const std::string& text) {
            if (also) also(name, text);
            if (name == awaited) {
                answer = text;
                arrived = true;
            }
        };
        app = std::make_unique<AppDelegate>(loop, web, shell, applications, std::move(settings));
        await("contextStatus", [&] { app->connectBridge(); });
    }

    // Runs `start` and the loop until `event`; the loop thread's CPU seconds.
    double await(const std::string& event, const std::function<void()>& start,
                 std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        awaited = event;
        arrived = false;
        const double before = threadCpuSeconds();
        start();
        runLoop(loop, arrived, limit);
        return threadCpuSeconds() - before;
    }
};

std::filesystem::path gHome;
std::filesystem::path gClip;
std::filesystem::path gShortCapture;
Connected* gController = nullptr;
Json gContext;

bool answered(benchmark::State& state, const std::string& envelope, const std::string& needle) {
    if (envelope.find(needle) != std::string::npos) return true;
    state.SkipWithError(("unexpected answer: " + envelope.substr(0, 300)).c_str());
    return false;
}

// Loop CPU of one analysis flow, from its start to its answer `event`; the
// wall time to the answer as a counter.
void timeAnalysis(benchmark::State& state, const char* event, const std::function<void(AppDelegate&)>& start) {
    Connected& c = *gController;
    double wall = 0;
    for (auto _ : state) {
        const auto began = monotonicNanoseconds();
        double cpu = c.await(event, [&] { start(*c.app); });
        wall += static_cast<double>(monotonicNanoseconds() - began) * 1e-9;
        if (!answered(state, c.answer, "\"ok\":true")) return;
        state.SetIterationTime(cpu);
    }
    state.counters["wallMs"] = benchmark::Counter(wall * 1e3 / static_cast<double>(state.iterations()));
}

void KeyDetectionOf90sClip(benchmark::State& state) {
    timeAnalysis(state, "keyResult", [](AppDelegate& app) { app.findKey(std::nullopt); });
}
BENCHMARK(KeyDetectionOf90sClip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void ClipListeningOf90sClip(benchmark::State& state) {
    timeAnalysis(state, "audioResult", [](AppDelegate& app) { app.listenSelectedClip(); });
}
BENCHMARK(ClipListeningOf90sClip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// One iteration is one master capture; its time is the loop's CPU per status
// poll, measured between two "masterCaptureProgress" events of a recording
// job (the 500 ms wait, the request's delivery, reading and reporting it).
void CaptureStatusPoll(benchmark::State& state) {
    Connected& c = *gController;
    SafePlanAction action;
    action.command = SafeActionCommand::listenMaster;
    action.mode = "read";
    action.length = 2;
    action.startTime = 0;
    for (auto _ : state) {
        std::vector<double> stamps;
        c.also = [&](std::string_view name, const std::string& text) {
            if (name == "masterCaptureProgress" && text.find("\"recording\"") != std::string::npos)
                stamps.push_back(threadCpuSeconds());
        };
        bool done = false;
        bool ok = false;
        c.app->executeMasterListen(action, c.app->currentRevision, [&](Outcome<Json> outcome) {
            ok = outcome.ok();
            done = true;
        });
        runLoop(c.loop, done, std::chrono::seconds(60));
        c.also = nullptr;
        if (!ok || stamps.size() < 2) {
            state.SkipWithError("the capture did not complete");
            return;
        }
        state.SetIterationTime((stamps.back() - stamps.front()) / static_cast<double>(stamps.size() - 1));
    }
}
BENCHMARK(CaptureStatusPoll)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(3);

void QuestionWith64TrackContext(benchmark::State& state) {
    Connected& c = *gController;
    for (auto _ : state) {
        double cpu = c.await("chatResult", [&] { c.app->askTechnicalQuestion(kQuestion); });
        if (!answered(state, c.answer, "\"source\":\"local-preflight\"")) return;
        state.SetIterationTime(cpu);
    }
    state.counters["contextBytes"] = static_cast<double>(c.app->currentContext->dump().size());
}
BENCHMARK(QuestionWith64TrackContext)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

// From the scan's start to its last progress event: the loop thread's CPU
// for the 1,000 progress events (after the first, the scan reuses the
// previous index, as the app does for the same folder).
void ScanProgressOf1000Sets(benchmark::State& state) {
    Connected& c = *gController;
    const auto folder = corpusRoot() / "flows-1000-sets";
    ensureCorpus(folder, 1000, 2000, 6000);
    int events = 0;
    for (auto _ : state) {
        events = 0;
        double lastProgress = 0;
        c.also = [&](std::string_view name, const std::string& text) {
            if (name != "projectScanProgress") return;
            ++events;
            if (text.find("\"running\":false") != std::string::npos) lastProgress = threadCpuSeconds();
        };
        const double before = threadCpuSeconds();
        c.await("projectIndex", [&] { c.app->scanProjectFolder(folder); });
        c.also = nullptr;
        if (lastProgress == 0 || !c.app->projectIndex || c.app->projectIndex->projects.size() != 1000) {
            state.SkipWithError("the scan did not index 1,000 sets");
            return;
        }
        state.SetIterationTime(lastProgress - before);
    }
    state.counters["events"] = events;
}
BENCHMARK(ScanProgressOf1000Sets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The index the scan above left: the event of its 1,000 real summaries
// written and delivered. treeMs is the same event made the way it was before
// (the summaries' tree built, then serialised), in the same run.
void ProjectIndexOf1000Sets(benchmark::State& state) {
    Connected& c = *gController;
    if (!c.app->projectIndex || c.app->projectIndex->projects.size() != 1000) {
        state.SkipWithError("run after ScanProgressOf1000Sets");
        return;
    }
    std::string delivered;
    c.also = [&](std::string_view name, const std::string& text) {
        if (name == "projectIndex") delivered = text;
    };
    for (auto _ : state) {
        const double before = threadCpuSeconds();
        c.app->sendProjectIndex();
        state.SetIterationTime(threadCpuSeconds() - before);
    }
    c.also = nullptr;
    constexpr int kTreeRuns = 10;
    double tree = 0;
    std::string built;
    for (int i = 0; i < kTreeRuns; ++i) {
        const double before = threadCpuSeconds();
        Json value = c.app->projectIndex->dictionary();
        value["indexed"] = true;
        built = json::compact(Json{{"event", "projectIndex"}, {"value", std::move(value)}});
        tree += threadCpuSeconds() - before;
    }
    if (built != delivered) state.SkipWithError("the written event differs from the serialised tree");
    state.counters["eventBytes"] = static_cast<double>(delivered.size());
    state.counters["treeMs"] = tree * 1e3 / kTreeRuns;
}
BENCHMARK(ProjectIndexOf1000Sets)->UseManualTime()->Unit(benchmark::kMillisecond);

void VisualOf64Tracks(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(projectVisualPayload("analyse mon arrangement", gContext));
}
BENCHMARK(VisualOf64Tracks)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    gHome = privateHome("flows");
    gContext = largeContext();
    gClip = gHome / "clip-95s.wav";
    gShortCapture = gHome / "capture-4s.wav";
    writeLoop(gClip, 95);
    writeLoop(gShortCapture, 4);
    const std::string contextBody = okReply(gContext).body;
    const std::string healthBody = healthReply().body;
    int keySourceRequests = 0;
    int statusRequests = 0;
    // Forked before any thread exists; the counters live in the child.
    FakeBridgeProcess bridge([&](const std::string&, const std::string& path, const std::string&) -> BridgeReply {
        if (path == "/v1/health") return {200, healthBody};
        if (path == "/v1/context") return {200, contextBody};
        if (path == "/v1/key-source") {
            ++keySourceRequests;
            return okReply({{"kind", "audio"},
                            {"filePath", gClip.string()},
                            {"startSeconds", keySourceRequests * 0.001},
                            {"durationSeconds", 90},
                            {"track", "Basse"},
                            {"clip", "Boucle"}});
        }
        if (path == "/v1/master-capture/start") {
            statusRequests = 0;
            return okReply({{"jobId", "JOB-1"}});
        }
        if (path == "/v1/master-capture/status") {
            ++statusRequests;
            if (statusRequests <= kStatusPollsPerCapture)
                return okReply({{"status", "recording"}, {"progress", statusRequests * 0.2}});
            return okReply({{"status", "ready"}, {"progress", 1}, {"filePath", gShortCapture.string()}});
        }
        if (path == "/v1/master-capture/cleanup") return okReply({{"revision", 43}});
        return okReply(Json::object());
    });
    const auto bridgeFile = gHome / "bridge.json";
    writeBridgeConfiguration(bridgeFile, bridge.port());

    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("load", loadAverage());
    Connected controller(gHome, bridgeFile);
    gController = &controller;
    benchmark::RunSpecifiedBenchmarks();
    gController = nullptr;
    benchmark::Shutdown();
    std::filesystem::remove_all(gHome.parent_path());
    return 0;
}
