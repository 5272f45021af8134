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
#include <filesystem>
#include <set>
#include <string_view>
#include <utility>

namespace vantorel {

// Live's process, as Linux shows it natively or under Wine: its `comm` or
// the base name of its first argument (split on "/" and "\"), lower-cased,
// begins with "ableton live".
bool isAbletonProcess(std::string_view comm, std::string_view firstArgument);

// The process `pid` under `procRoot` is Live (false when unreadable).
bool isAbletonProcessId(const std::filesystem::path& procRoot, long pid);

using ProcessIdentity = std::pair<long, unsigned long long>;  // pid, start time in clock ticks
// Live's processes under `procRoot`; unreadable entries are skipped.
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
    std::filesystem::path root_;
    std::chrono::milliseconds interval_;
    std::set<ProcessIdentity> current_;
    std::function<void()> launched_;
    std::function<void()> terminated_;
    bool scanning_ = false;
    Timer timer_;
    Liveness liveness_;
};

}  // namespace vantorel
