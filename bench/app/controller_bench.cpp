// The controller's own cost on a large Live Set, as the whole process sees
// it: the loop thread's CPU per context poll and the delay from the bridge's
// reply to "contextStatus", resident memory over back-to-back polls, idle CPU
// connected and while retrying with no bridge, the /proc scan, project
// identity against a large index and lifecycle saves of long histories.
//
// The fake bridge runs in a child process: its serialisation and its memory
// are Live's, not ours. Like the real bridge it stamps each context reply
// with a new age and capture time; the poll figures are taken with a set
// edited between every two polls (a new revision each time, so every reply
// is parsed), idle with a set left alone. A plain timed program (the figures are whole-process
// and over tens of seconds); --benchmark_* options are accepted and ignored
// so that it runs with the other *_bench programs.
//
//   controller_bench [--polls=10000] [--idle-seconds=30]
//                    [--only=polls|identity|proc|lifecycle|idle]
#include "bench_app.h"

#include "app/proc_applications.h"
#include "project/json_fields.h"
#include "project/lifecycle_store.h"

#include <atomic>
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
    std::string only;  // one group of figures: polls, identity, proc, lifecycle or idle
    bool runs(const char* group) const { return only.empty() || only == group; }
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--polls=", 0) == 0) options.polls = std::stoi(arg.substr(8));
        else if (arg.rfind("--idle-seconds=", 0) == 0) options.idleSeconds = std::stoi(arg.substr(15));
        else if (arg.rfind("--only=", 0) == 0) options.only = arg.substr(7);
        else if (arg.rfind("--benchmark_", 0) != 0) {
            std::fprintf(stderr, "usage: controller_bench [--polls=N] [--idle-seconds=S] [--only=GROUP]\n");
            std::exit(2);
        }
    }
    return options;
}

// Context replies as the bridge sends them: the age and capture time new at
// each request, and the revision too when the set is `edited` between polls.
class ContextReplies {
public:
    ContextReplies(const Json& context, bool edited) : edited_(edited) {
        Json stamped = context;
        stamped["contextAgeMs"] = 5;
        stamped["capturedAtUnix"] = 1700000000.25;
        const std::string body = okReply(stamped).body;
        std::size_t from = 0;
        for (const char* marker : {"\"capturedAtUnix\":", "\"contextAgeMs\":", "\"revision\":"}) {
            const std::size_t at = body.find(marker, from);
            if (at == std::string::npos || body.find(marker, at + 1) != std::string::npos) {
                std::fprintf(stderr, "context reply: %s missing or repeated\n", marker);
                std::exit(1);
            }
            const std::size_t value = at + std::strlen(marker);
            parts_.push_back(body.substr(from, value - from));
            from = body.find_first_of(",}", value);
        }
        parts_.push_back(body.substr(from));
    }

    BridgeReply next() {
        const long n = count_++;
        std::string body;
        body.reserve(parts_[0].size() + parts_[1].size() + parts_[2].size() + parts_[3].size() + 64);
        body += parts_[0];
        body += std::to_string(1700000000 + n) + ".25";
        body += parts_[1];
        body += std::to_string(n % 50);
        body += parts_[2];
        body += std::to_string(edited_ ? 42 + n : 42);
        body += parts_[3];
        return {200, std::move(body)};
    }

private:
    bool edited_;
    std::vector<std::string> parts_;
    std::atomic<long> count_{0};
};

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
    double wholeBefore = 0;
    for (int i = 0; i < polls; ++i) {
        if (i == warm) {
            residentAfterWarmUp = residentKiB();
            wholeBefore = processCpuSeconds();
        }
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
    const double wholeCpu = (processCpuSeconds() - wholeBefore) * 1e3 / static_cast<double>(polls - warm);
    Spread c = spread(cpu), l = spread(latency);
    char detail[160];
    std::snprintf(detail, sizeof detail, "mean %.3f, p95 %.3f, max %.3f over %zu polls", c.mean, c.p95, c.max,
                  cpu.size());
    report("loop-thread CPU per poll" + label + " (median)", c.median, "ms", "<= 1 ms", c.median <= 1, detail);
    std::snprintf(detail, sizeof detail, "mean %.2f, p95 %.2f, max %.2f", l.mean, l.p95, l.max);
    report("bridge reply to contextStatus" + label + " (median)", l.median, "ms", "<= 15 ms", l.median <= 15, detail);
    report("  whole-process CPU per poll" + label + " (mean)", wholeCpu, "ms", "-", true,
           "request, parse, freeing the last mirror");
    const double growthMiB = static_cast<double>(residentAtEnd - residentAfterWarmUp) / 1024.0;
    std::snprintf(detail, sizeof detail, "RSS %.1f -> %.1f MiB over %d polls", residentAfterWarmUp / 1024.0,
                  residentAtEnd / 1024.0, polls - warm);
    report("RSS growth over back-to-back polls" + label, growthMiB, "MiB", "<= +8 MiB", growthMiB <= 8, detail);
}

// Polls while the set is left alone: the reply differs from the last only in
// its age and capture time.
void unchangedPollFigures(const std::filesystem::path& home, const std::filesystem::path& bridgeFile,
                          const FakeBridgeProcess& bridge) {
    DrivenController controller(home, bridgeFile);
    std::vector<double> cpu, latency, whole;
    for (int i = 0; i < 500; ++i) {
        const double before = processCpuSeconds();
        auto [loopCpu, delay] = controller.poll(bridge);
        whole.push_back((processCpuSeconds() - before) * 1e3);
        cpu.push_back(loopCpu * 1e3);
        latency.push_back(delay * 1e3);
    }
    Spread c = spread(cpu), l = spread(latency), w = spread(whole);
    report("  loop-thread CPU per poll, set unchanged (median)", c.median, "ms", "-", true,
           "p95 " + std::to_string(c.p95) + "; reply to status " + std::to_string(l.median) + " ms");
    report("  whole-process CPU per poll, set unchanged (median)", w.median, "ms", "-", true,
           "p95 " + std::to_string(w.p95));
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
    // As the app scans: one scanner, every second, that remembers the
    // processes it has seen; then a scanner's first look.
    std::vector<double> times, cpu, first;
    std::size_t found = 0;
    ProcScanner scanner(root);
    scanner.scan();
    for (int i = 0; i < 200; ++i) {
        const double before = monotonicNanoseconds() * 1e-9;
        const double cpuBefore = threadCpuSeconds();
        found = scanner.scan().size();
        cpu.push_back((threadCpuSeconds() - cpuBefore) * 1e3);
        times.push_back((monotonicNanoseconds() * 1e-9 - before) * 1e3);
    }
    for (int i = 0; i < 50; ++i) {
        const double before = monotonicNanoseconds() * 1e-9;
        if (scanAbletonProcesses(root).size() != found) found = 0;
        first.push_back((monotonicNanoseconds() * 1e-9 - before) * 1e3);
    }
    Spread s = spread(times), c = spread(cpu), f = spread(first);
    report("/proc scan, 500 processes (median wall)", s.median, "ms", "<= 2 ms", s.median <= 2 && found == 1,
           "p95 " + std::to_string(s.p95) + ", CPU median " + std::to_string(c.median) + ", Live found " +
               std::to_string(found));
    report("  a scanner's first scan of them (median wall)", f.median, "ms", "-", true,
           "reads every command line");

    std::size_t processes = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc"))
        if (std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) ++processes;
    times.clear();
    ProcScanner machine("/proc");
    machine.scan();
    for (int i = 0; i < 50; ++i) {
        const double before = monotonicNanoseconds() * 1e-9;
        machine.scan();
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
    ContextReplies edited(context, true), untouched(context, false);
    ContextReplies heavy(largeContext(kHeavyParameters), true);
    const std::string healthBody = healthReply().body;
    auto serving = [&](ContextReplies& replies) {
        return [&](const std::string&, const std::string& path, const std::string&) -> BridgeReply {
            if (path == "/v1/health") return {200, healthBody};
            if (path == "/v1/context") return replies.next();
            return okReply(Json::object());
        };
    };
    // Forked before any thread exists.
    FakeBridgeProcess bridge(serving(edited));
    FakeBridgeProcess idleBridge(serving(untouched));
    // The same set with 40 parameters per device, about six times larger.
    FakeBridgeProcess heavyBridge(serving(heavy));
    const auto bridgeFile = home / "bridge.json";
    writeBridgeConfiguration(bridgeFile, bridge.port());
    const auto idleFile = home / "idle-bridge.json";
    writeBridgeConfiguration(idleFile, idleBridge.port());
    const auto heavyFile = home / "heavy-bridge.json";
    writeBridgeConfiguration(heavyFile, heavyBridge.port());
    const auto absentFile = home / "absent-bridge.json";
    writeBridgeConfiguration(absentFile, closedPort());

    std::printf("controller_bench: context reply %zu bytes (64 tracks), heavy variant %zu bytes; %s\n",
                edited.next().body.size(), heavy.next().body.size(), loadAverage().c_str());
    if (options.runs("polls")) {
        pollFigures(options.polls, ", edited set", home / "polls", bridgeFile, bridge);
        unchangedPollFigures(home / "polls-unchanged", idleFile, idleBridge);
        pollFigures(std::min(options.polls, 500), ", 3.2 MB context", home / "polls-heavy", heavyFile, heavyBridge);
    }
    if (options.runs("identity")) identityFigures(home, bridgeFile, bridge, context);
    if (options.runs("proc")) procFigures(home);
    if (options.runs("lifecycle")) lifecycleFigures(home, context);
    if (!options.runs("idle")) {
        std::filesystem::remove_all(home.parent_path());
        return 0;
    }

    const double bridgeCpuBefore = idleBridge.childCpuSeconds();
    const double connected = idleShare(home / "idle-connected", idleFile, options.idleSeconds);
    const double bridgeShare = 100 * (idleBridge.childCpuSeconds() - bridgeCpuBefore) / (options.idleSeconds + 3);
    report("idle CPU connected, whole process (" + std::to_string(options.idleSeconds) + " s)", connected, "%",
           "<= 1 %", connected <= 1,
           "poll every 2 s + /proc every 1 s; fake bridge apart: " + std::to_string(bridgeShare).substr(0, 4) + " %");
    const double editing = idleShare(home / "idle-edited", bridgeFile, options.idleSeconds);
    report("  connected, the set edited before every poll (" + std::to_string(options.idleSeconds) + " s)", editing,
           "%", "-", true, "every reply parsed");
    const double retrying = idleShare(home / "idle-retrying", absentFile, options.idleSeconds);
    report("idle CPU retrying, no bridge (" + std::to_string(options.idleSeconds) + " s)", retrying, "%", "<= 1 %",
           retrying <= 1, "attempt every 2.5 s + /proc every 1 s");
    std::filesystem::remove_all(home.parent_path());
    return 0;
}
