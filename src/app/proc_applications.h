// Live among the running processes, read from /proc.
//
// Linux has no workspace notifications: /proc is scanned every second off
// the loop, and Live's start and end are the changes of the set of
// (process id, start time) pairs of its processes. A pid reused by a new
// Live between two scans still counts as a restart.
#pragma once

#include "app/platform.h"
#include "common/main_loop.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace vantorel {

// Live's process, as Linux shows it natively or under Wine: its `comm` or
// the base name of its first argument (split on "/" and "\"), lower-cased,
// begins with "ableton live".
bool isAbletonProcess(std::string_view comm, std::string_view firstArgument);

using ProcessIdentity = std::pair<long, unsigned long long>;  // pid, start time in clock ticks

// Scans of one /proc tree that remember what they learnt. A scan opens one
// file per process, its `stat` (name and start time); the command line is
// read only for a process not seen before under that pid, start time and
// name, and once more on the next scan, since a loader such as Wine rewrites
// its arguments just after starting. One scan at a time.
class ProcScanner {
public:
    explicit ProcScanner(std::filesystem::path procRoot);

    // Live's processes; unreadable entries are skipped.
    std::set<ProcessIdentity> scan();

private:
    struct Known {
        unsigned long long start = 0;
        std::string comm;
        bool live = false;
        bool settled = false;     // its command line was read on two scans
        std::uint64_t seenIn = 0;  // the last scan that found it
    };

    std::filesystem::path root_;
    std::unordered_map<long, Known> known_;
    std::uint64_t scans_ = 0;
};

// One scan of `procRoot` with nothing known beforehand.
std::set<ProcessIdentity> scanAbletonProcesses(const std::filesystem::path& procRoot);

class ProcRunningApplications : public RunningApplications {
public:
    // Scans once at construction, so the state at start is known and never
    // reported as a launch.
    ProcRunningApplications(MainLoop& loop, std::filesystem::path procRoot = "/proc",
                            std::chrono::milliseconds interval = std::chrono::seconds(1));

    bool isAbletonRunning() const override { return !current_.empty(); }
    void observe(std::function<void()> abletonLaunched, std::function<void()> abletonTerminated) override;

private:
    void scan();
    void apply(std::set<ProcessIdentity> found);

    MainLoop& loop_;
    // Handed to the quick lane for each scan; `scanning_` keeps it to one.
    std::shared_ptr<ProcScanner> scanner_;
    std::chrono::milliseconds interval_;
    std::set<ProcessIdentity> current_;
    std::function<void()> launched_;
    std::function<void()> terminated_;
    bool scanning_ = false;
    Timer timer_;
    Liveness liveness_;
};

}  // namespace vantorel
