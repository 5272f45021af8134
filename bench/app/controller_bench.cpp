// The controller's own cost on a large Live Set, as the whole process sees
// it: the loop thread's CPU per context poll and the delay from the bridge's
// reply to "contextStatus", resident memory over back-to-back polls, idle CPU
// connected and while retrying with no bridge, the /proc scan, project
// identity against a large index and lifecycle saves of long histories.
//
// The fake bridge runs in a child process: its serialisation and its memory
// are Live's, not ours. A plain timed program (the figures are whole-process
// and over tens of seconds); --benchmark_* options are accepted and ignored
// so that it runs with the other *_bench programs.
//
//   controller_bench [--polls=10000] [--idle-seconds=30]
#include "bench_app.h"

#include "app/proc_applications.h"
#include "project/json_fields.h"
#include "project/lifecycle_store.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

using namespace vantorel;
using namespace vantorel::bench;

namespace {

struct Options {
    int polls = 10000;
    int idleSeconds = 30;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--polls=", 0) == 0) options.polls = std::stoi(arg.substr(8));
        else if (arg.rfind("--idle-seconds=", 0) == 0) options.idleSeconds = std::stoi(arg.substr(15));
        else if (arg.rfind("--benchmark_", 0) != 0) {
            std::fprintf(stderr, "usage: controller_bench [--polls=N] [--idle-seconds=S]\n");
            std::exit(2);
        }
    }
    return options;
}

// A controller on its own loop whose polls happen when the benchmark says.
struct DrivenController {
    MainLoop loop;
    CountingChannel web;
    QuietShell shell;
    LiveRunning applications;
    std::unique_ptr<AppDelegate> app;
    bool statusSeen = false;
    std::int64_t statusAt = 0;

    DrivenController(const std::filesystem::path& home, const std::filesystem::path& bridgeFile) {
        AppSettings settings = settingsIn(home, bridgeFile);
        settings.intervals.poll = std::chrono::hours(1);
        settings.intervals.retry = std::chrono::hours(1);
        web.onEvent = [this](std::string_view name, const std::string&) {
            if (name == "contextStatus") {
                statusAt = monotonicNanoseconds();
                statusSeen = true;
            }
        };
        app = std::make_unique<AppDelegate>(loop, web, shell, applications, std::move(settings));
        app->connectBridge();
        runLoop(loop, statusSeen, std::chrono::seconds(20));
    }

    // One poll: the loop thread's CPU seconds and the reply-to-status delay.
    std::pair<double, double> poll(const FakeBridgeProcess& bridge) {
        statusSeen = false;
        const double before = threadCpuSeconds();
        app->pollNow();
        runLoop(loop, statusSeen, std::chrono::seconds(20));
        const double cpu = threadCpuSeconds() - before;
        return {cpu, static_cast<double>(statusAt - bridge.lastReplyNanoseconds()) * 1e-9};
    }
};

void pollFigures(int polls, const std::string& label, const std::filesystem::path& home,
                 const std::filesystem::path& bridgeFile, const FakeBridgeProcess& bridge) {
    DrivenController controller(home, bridgeFile);
    std::vector<double> cpu, latency;
    cpu.reserve(static_cast<std::size_t>(polls));
    latency.reserve(static_cast<std::size_t>(polls));
    const int warm = std::min(100, polls / 10);
    long residentAfterWarmUp = 0;
    for (int i = 0; i < polls; ++i) {
        if (i == warm) residentAfterWarmUp = residentKiB();
        auto [loopCpu, delay] = controller.poll(bridge);
        if (i >= warm) {
            cpu.push_back(loopCpu * 1e3);
            latency.push_back(delay * 1e3);
        }
        if ((i + 1) % 2000 == 0) {
            std::printf("  after %5d polls: RSS %ld KiB\n", i + 1, residentKiB());
            std::fflush(stdout);
        }
    }
    const long residentAtEnd = residentKiB();
    Spread c = spread(cpu), l = spread(latency);
    char detail[160];
    std::snprintf(detail, sizeof detail, "mean %.3f, p95 %.3f, max %.3f over %zu polls", c.mean, c.p95, c.max,
                  cpu.size());
    report("loop-thread CPU per poll" + label + " (median)", c.median, "ms", "<= 1 ms", c.median <= 1, detail);
    std::snprintf(detail, sizeof detail, "mean %.2f, p95 %.2f, max %.2f", l.mean, l.p95, l.max);
    report("bridge reply to contextStatus" + label + " (median)", l.median, "ms", "<= 15 ms", l.median <= 15, detail);
    const double growthMiB = static_cast<double>(residentAtEnd - residentAfterWarmUp) / 1024.0;
    std::snprintf(detail, sizeof detail, "RSS %.1f -> %.1f MiB over %d polls", residentAfterWarmUp / 1024.0,
                  residentAtEnd / 1024.0, polls - warm);
    report("RSS growth over back-to-back polls" + label, growthMiB, "MiB", "<= +8 MiB", growthMiB <= 8, detail);
}

// ---- Project identity ----------------------------------------------------------

ALSProjectIndex largeIndex(int projects) {
    ALSProjectIndex index;
    index.folderPath = "/home/producteur/Musique";
    for (int p = 0; p < projects; ++p) {
        ALSProjectSummary summary;
        summary.name = "Morceau " + std::to_string(p);
        summary.path = index.folderPath + "/" + summary.name + " Project/" + summary.name + ".als";
        summary.tempo = 100 + p % 60;
        const int trackCount = 12 + p % 40;
        for (int t = 0; t < trackCount; ++t) {
            // Names shared with the live set in part, so overlaps are computed, not short-cut.
            std::string name = t % 3 == 0 ? "Track " + std::to_string(t + 1) : "Piste " + std::to_string(p * 7 + t);
            summary.tracks.push_back({name, t % 5, t % 4, t % 2 == 0});
        }
        index.projects.push_back(std::move(summary));
    }
    return index;
}

void identityFigures(const std::filesystem::path& home, const std::filesystem::path& bridgeFile,
                     const FakeBridgeProcess& bridge, const Json& context) {
    const std::optional<ALSProjectIndex> index = largeIndex(1000);
    const Json& snapshot = context["session"];
    std::vector<double> times;
    std::string source;
    for (int i = 0; i < 300; ++i) {
        const double before = threadCpuSeconds();
        Json identity = AppDelegate::resolveProjectIdentity(snapshot, index);
        times.push_back((threadCpuSeconds() - before) * 1e3);
        source = identity.value("source", "");
    }
    Spread s = spread(times);
    report("identity against 1,000 indexed projects (median)", s.median, "ms", "<= 1 ms", s.median <= 1,
           "p95 " + std::to_string(s.p95) + ", answer " + source);

    // The same identity runs in every poll: the poll with that index loaded.
    DrivenController controller(home / "polls-index", bridgeFile);
    controller.app->projectIndex = index;
    std::vector<double> cpu;
    for (int i = 0; i < 300; ++i) cpu.push_back(controller.poll(bridge).first * 1e3);
    Spread c = spread(cpu);
    report("loop-thread CPU per poll, 1,000-project index (median)", c.median, "ms", "<= 1 ms", c.median <= 1,
           "p95 " + std::to_string(c.p95));
}

// ---- /proc scan ----------------------------------------------------------------

void writeProcess(const std::filesystem::path& root, long pid, const std::string& comm, const std::string& cmdline) {
    auto folder = root / std::to_string(pid);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "comm") << comm << "\n";
    std::ofstream(folder / "cmdline", std::ios::binary) << cmdline;
    std::ofstream(folder / "stat") << pid << " (" << comm.substr(0, 15)
                                   << ") S 1 " << pid << " " << pid
                                   << " 0 -1 4194560 1234 0 0 0 12 3 0 0 20 0 4 0 " << 1000 + pid
                                   << " 123456789 2048 18446744073709551615 1 1 0 0 0 0 0 4096 0 0 0 17 1 0 0 0 0 0\n";
}

void procFigures(const std::filesystem::path& home) {
    const auto root = home / "proc";
    for (long pid = 1; pid <= 500; ++pid) {
        if (pid == 321) {
            writeProcess(root, pid, "Ableton Live 12",
                         std::string("C:\\ProgramData\\Ableton\\Live 12 Suite\\Program\\Ableton Live 12 Suite.exe") + '\0');
        } else {
            std::string name = "process-" + std::to_string(pid);
            writeProcess(root, pid, name, "/usr/bin/" + name + std::string("\0--flag\0", 8));
        }
    }
    for (const char* other : {"self", "sys", "meminfo", "net"}) std::filesystem::create_directories(root / other);
    std::vector<double> times, cpu;
    std::size_t found = 0;
    for (int i = 0; i < 200; ++i) {
        const double before = monotonicNanoseconds() * 1e-9;
        const double cpuBefore = threadCpuSeconds();
        found = scanAbletonProcesses(root).size();
        cpu.push_back((threadCpuSeconds() - cpuBefore) * 1e3);
        times.push_back((monotonicNanoseconds() * 1e-9 - before) * 1e3);
    }
    Spread s = spread(times), c = spread(cpu);
    report("/proc scan, 500 processes (median wall)", s.median, "ms", "<= 2 ms", s.median <= 2 && found == 1,
           "p95 " + std::to_string(s.p95) + ", CPU median " + std::to_string(c.median) + ", Live found " +
               std::to_string(found));

    std::size_t processes = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc"))
        if (std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) ++processes;
    times.clear();
    for (int i = 0; i < 50; ++i) {
        const double before = monotonicNanoseconds() * 1e-9;
        scanAbletonProcesses("/proc");
        times.push_back((monotonicNanoseconds() * 1e-9 - before) * 1e3);
    }
    s = spread(times);
    report("  this machine's /proc (" + std::to_string(processes) + " processes, median wall)", s.median, "ms", "-",
           true, "");
}

// ---- Lifecycle store ------------------------------------------------------------

void lifecycleFigures(const std::filesystem::path& home, const Json& context) {
    const Json richAnalysis = context["projectAnalysis"];
    const Json bareAnalysis = Json{{"tracks", Json::array()}};
    for (int events : {1000, 100000}) {
        const auto folder = home / ("lifecycle-" + std::to_string(events));
        std::filesystem::create_directories(folder);
        PersistedLifecycleFile file;
        PersistedLifecycle& record = file.projects["nuit"];
        const auto start = project::wholeSeconds(std::chrono::system_clock::now() - std::chrono::hours(24 * 365));
        for (int e = 0; e < events; ++e) {
            record.events.push_back({1 + e % 5, e % 2 ? "regressed" : "reached", start + std::chrono::minutes(e), "v1"});
        }
        record.updatedAt = start;
        project::writeJsonFile(folder / VantorelLifecycleStore::fileName, file.toJson());

        VantorelLifecycleStore store(folder);
        std::vector<StoreWrite> queued;
        store.setWriteQueue([&](StoreWrite write) { queued.push_back(std::move(write)); });
        const std::size_t loaded = store.contents().projects.at("nuit").events.size();

        // Alternating analyses gain and lose stages: each call appends events and saves.
        std::vector<double> changed, unchanged, writes;
        const int rounds = events > 10000 ? 6 : 40;
        for (int i = 0; i < rounds; ++i) {
            double before = threadCpuSeconds();
            store.update("Nuit", i % 2 ? bareAnalysis : richAnalysis);
            changed.push_back((threadCpuSeconds() - before) * 1e3);
            before = threadCpuSeconds();
            store.update("Nuit", i % 2 ? bareAnalysis : richAnalysis);
            unchanged.push_back((threadCpuSeconds() - before) * 1e3);
            for (auto& write : queued) {
                const double began = monotonicNanoseconds() * 1e-9;
                write();
                writes.push_back((monotonicNanoseconds() * 1e-9 - began) * 1e3);
            }
            queued.clear();
        }
        const std::size_t after = store.contents().projects.at("nuit").events.size();
        if (loaded != static_cast<std::size_t>(events) || after <= loaded || writes.size() != changed.size()) {
            std::fprintf(stderr, "lifecycle store did not record changes (%zu loaded, %zu after, %zu writes)\n",
                         loaded, after, writes.size());
            std::exit(1);
        }
        const auto bytes = std::filesystem::file_size(folder / VantorelLifecycleStore::fileName);
        const std::string n = events == 1000 ? "1,000" : "100,000";
        Spread c = spread(changed), u = spread(unchanged), w = spread(writes);
        report("lifecycle save, " + n + " events: loop share (median)", c.median, "ms", "-", true,
               "evaluation + document, " + std::to_string(bytes / 1024) + " KiB file");
        report("lifecycle save, " + n + " events: writer thread (median)", w.median, "ms", "-", true,
               "format + atomic write");
        report("lifecycle update without change, " + n + " events (median)", u.median, "ms", "-", true,
               "what every poll pays");
    }
}

// ---- Idle -------------------------------------------------------------------------

double idleShare(const std::filesystem::path& home, const std::filesystem::path& bridgeFile, int seconds) {
    MainLoop loop;
    CountingChannel web;
    QuietShell shell;
    // As the app runs: Live watched through the real /proc every second.
    ProcRunningApplications applications(loop);
    AppDelegate app(loop, web, shell, applications, settingsIn(home, bridgeFile));
    app.start();
    bool settled = false;
    Timer warm = loop.after(std::chrono::seconds(3), [&] { settled = true; });
    runLoop(loop, settled, std::chrono::seconds(10));
    const double cpuBefore = processCpuSeconds();
    const std::int64_t wallBefore = monotonicNanoseconds();
    bool over = false;
    Timer end = loop.after(std::chrono::seconds(seconds), [&] { over = true; });
    runLoop(loop, over, std::chrono::seconds(seconds + 10));
    const double wall = static_cast<double>(monotonicNanoseconds() - wallBefore) * 1e-9;
    return 100 * (processCpuSeconds() - cpuBefore) / wall;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const auto home = privateHome("controller");
    const Json context = largeContext();
    const std::string contextBody = okReply(context).body;
    const std::string heavyBody = okReply(largeContext(kHeavyParameters)).body;
    const std::string healthBody = healthReply().body;
    // Forked before any thread exists.
    FakeBridgeProcess bridge([&](const std::string&, const std::string& path, const std::string&) -> BridgeReply {
        if (path == "/v1/health") return {200, healthBody};
        if (path == "/v1/context") return {200, contextBody};
        return okReply(Json::object());
    });
    // The same set with 40 parameters per device, about six times larger.
    FakeBridgeProcess heavyBridge([&](const std::string&, const std::string& path, const std::string&) -> BridgeReply {
        if (path == "/v1/health") return {200, healthBody};
        if (path == "/v1/context") return {200, heavyBody};
        return okReply(Json::object());
    });
    const auto heavyFile = home / "heavy-bridge.json";
    writeBridgeConfiguration(heavyFile, heavyBridge.port());
    const auto bridgeFile = home / "bridge.json";
    writeBridgeConfiguration(bridgeFile, bridge.port());
    const auto absentFile = home / "absent-bridge.json";
    writeBridgeConfiguration(absentFile, closedPort());

    std::printf("controller_bench: context reply %zu bytes (64 tracks), heavy variant %zu bytes; %s\n",
                contextBody.size(), heavyBody.size(), loadAverage().c_str());
    pollFigures(options.polls, "", home / "polls", bridgeFile, bridge);
    pollFigures(std::min(options.polls, 500), ", 3.2 MB context", home / "polls-heavy", heavyFile, heavyBridge);
    identityFigures(home, bridgeFile, bridge, context);
    procFigures(home);
    lifecycleFigures(home, context);

    const double bridgeCpuBefore = bridge.childCpuSeconds();
    const double connected = idleShare(home / "idle-connected", bridgeFile, options.idleSeconds);
    const double bridgeShare = 100 * (bridge.childCpuSeconds() - bridgeCpuBefore) / (options.idleSeconds + 3);
    report("idle CPU connected, whole process (" + std::to_string(options.idleSeconds) + " s)", connected, "%",
           "<= 1 %", connected <= 1,
           "poll every 2 s + /proc every 1 s; fake bridge apart: " + std::to_string(bridgeShare).substr(0, 4) + " %");
    const double retrying = idleShare(home / "idle-retrying", absentFile, options.idleSeconds);
    report("idle CPU retrying, no bridge (" + std::to_string(options.idleSeconds) + " s)", retrying, "%", "<= 1 %",
           retrying <= 1, "attempt every 2.5 s + /proc every 1 s");
    std::filesystem::remove_all(home.parent_path());
    return 0;
}
