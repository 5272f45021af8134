// What the controller and flow benchmarks share: a private home, a large
// live context, a fake bridge in a process of its own (so its CPU and memory
// never count as the controller's), quiet platform seams and the clocks the
// figures are read from.
#pragma once

#include "app/app_delegate.h"
#include "support/app_doubles.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vantorel::bench {

using Json = nlohmann::json;

// HOME and the XDG folders pointed at a fresh temporary folder, so that no
// benchmark reads or writes the user's stores. Returns that folder.
std::filesystem::path privateHome(const std::string& name);

// A Live Set of 64 tracks of 48 clips and 10 devices, 4 returns and a
// master, as GET /v1/context answers it (session with project name,
// revision, tempo and track names; projectAnalysis; age). Without device
// parameters it is the reference context of about 535 KB; with 40 per device
// (the agent benchmark's set) about 3.2 MB.
inline constexpr int kReferenceParameters = 0;
inline constexpr int kHeavyParameters = 40;
Json largeContext(int parametersPerDevice = kReferenceParameters, const std::string& project = "Nuit");

struct BridgeReply {
    int status = 200;
    std::string body;
};

// A bridge served by a forked child on 127.0.0.1. Create it before the
// process starts any thread. The handler runs in the child: whatever state
// it keeps lives there. The child stamps the monotonic clock, shared with
// the parent, as each handler returns.
class FakeBridgeProcess {
public:
    using Handler = std::function<BridgeReply(const std::string& method, const std::string& path,
                                              const std::string& body)>;
    explicit FakeBridgeProcess(Handler handler);
    ~FakeBridgeProcess();
    FakeBridgeProcess(const FakeBridgeProcess&) = delete;
    FakeBridgeProcess& operator=(const FakeBridgeProcess&) = delete;

    int port() const { return port_; }
    // Monotonic nanoseconds at which the last reply left the handler.
    std::int64_t lastReplyNanoseconds() const;
    // CPU seconds the child has used so far.
    double childCpuSeconds() const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::atomic<std::int64_t>* stamp_ = nullptr;
};

// The health reply of a compatible bridge and a successful `result`.
BridgeReply healthReply();
BridgeReply okReply(const Json& result);
// A port on 127.0.0.1 nobody listens on (bound, then closed).
int closedPort();

// Writes the bridge configuration the client reads.
void writeBridgeConfiguration(const std::filesystem::path& file, int port);

// A channel that keeps only the names and count of events, and can end a
// loop run when a given event arrives.
struct CountingChannel : WebChannel {
    std::function<void(std::string_view event, const std::string& text)> onEvent;
    std::size_t count = 0;
    void deliver(const std::string& eventJson) override;
};
// The event name of a delivered envelope (keys are sorted: "event" first).
std::string_view eventName(const std::string& envelope);

using testing::LiveRunning;
using testing::QuietShell;

// The controller's settings in `home`: no agent installed, the bridge file
// given; the real intervals unless changed by the caller.
AppSettings settingsIn(const std::filesystem::path& home, const std::filesystem::path& bridgeFile);

// Runs the loop until `done` is set by a callback, or fails after `limit`.
// Unlike MainLoop::runUntil it adds no wake-up of its own, so the loop
// thread's CPU time is the controller's alone.
void runLoop(MainLoop& loop, const bool& done, std::chrono::milliseconds limit);

// CPU time of the calling thread, and of the whole process, in seconds.
double threadCpuSeconds();
double processCpuSeconds();
// Resident set of the process, in KiB (VmRSS), and its peak (VmHWM).
long residentKiB();
long peakResidentKiB();
std::int64_t monotonicNanoseconds();

// Median, 95th percentile and maximum of a sample.
struct Spread {
    double median = 0, p95 = 0, max = 0, mean = 0;
};
Spread spread(std::vector<double> values);

// "load average 1.23" from /proc/loadavg, printed beside each figure.
std::string loadAverage();

// A figure line: name, value, unit, goal and whether it is met.
void report(const std::string& name, double value, const std::string& unit, const std::string& goal, bool met,
            const std::string& detail = "");

}  // namespace vantorel::bench
