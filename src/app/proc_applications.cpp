#include "app/proc_applications.h"

#include "common/files.h"
#include "common/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace vantorel {

namespace {

bool beginsWithLive(std::string_view name) { return text::lower(name).rfind("ableton live", 0) == 0; }

std::string_view baseName(std::string_view path) {
    auto cut = path.find_last_of("/\\");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// Field 22 of /proc/PID/stat. The command name (field 2) is in parentheses
// and may itself hold spaces and parentheses: count from the last ")".
std::optional<unsigned long long> startTime(std::string_view stat) {
    auto close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    int field = 2;
    std::size_t at = 0;
    while (at < rest.size()) {
        while (at < rest.size() && rest[at] == ' ') ++at;
        std::size_t end = rest.find(' ', at);
        if (end == std::string_view::npos) end = rest.size();
        if (at < end && ++field == 22) {
            unsigned long long value = 0;
            auto [ptr, error] = std::from_chars(rest.data() + at, rest.data() + end, value);
            if (error != std::errc() || ptr != rest.data() + end) return std::nullopt;
            return value;
        }
        at = end;
    }
    return std::nullopt;
}

// A small /proc file read with plain system calls: the scan opens two or
// three per process every second, where a stat and a stream per file cost
// more than the reads. /proc hands over what fits in one read, so a short
// read ends the file without asking again. At most `limit` bytes (a first
// argument is far shorter); nothing when the file cannot be opened or read.
std::optional<std::string> readSmall(const std::string& path, std::size_t limit = 4096) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content(limit, '\0');
    std::size_t got = 0;
    bool failed = false;
    while (got < limit) {
        ssize_t n = ::read(fd, content.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
        if (got < limit) break;
    }
    ::close(fd);
    if (failed) return std::nullopt;
    content.resize(got);
    return content;
}

}  // namespace

bool isAbletonProcess(std::string_view comm, std::string_view firstArgument) {
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r')) comm.remove_suffix(1);
    return beginsWithLive(comm) || beginsWithLive(baseName(firstArgument));
}

bool isAbletonProcessId(const std::filesystem::path& procRoot, long pid) {
    const auto folder = procRoot / std::to_string(pid);
    auto comm = files::read(folder / "comm");
    auto commandLine = files::read(folder / "cmdline");
    if (!comm && !commandLine) return false;
    return isAbletonProcess(comm.value_or(""), commandLine ? std::string_view(commandLine->c_str()) : std::string_view());
}

std::set<ProcessIdentity> scanAbletonProcesses(const std::filesystem::path& procRoot) {
    std::set<ProcessIdentity> found;
    DIR* folder = ::opendir(procRoot.c_str());
    if (folder == nullptr) return found;
    const std::string root = procRoot.string() + "/";
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        long pid = 0;
        auto [ptr, parseError] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parseError != std::errc() || ptr != name.data() + name.size()) continue;
        const std::string base = root + std::string(name) + "/";
        auto comm = readSmall(base + "comm");
        auto commandLine = readSmall(base + "cmdline");
        if (!comm && !commandLine) continue;
        std::string_view first = commandLine ? std::string_view(commandLine->c_str()) : std::string_view();
        if (!isAbletonProcess(comm.value_or(""), first)) continue;
        auto stat = readSmall(base + "stat");
        if (!stat) continue;  // gone meanwhile
        auto started = startTime(*stat);
        if (!started) continue;
        found.insert({pid, *started});
    }
    ::closedir(folder);
    return found;
}

ProcRunningApplications::ProcRunningApplications(MainLoop& loop, std::filesystem::path procRoot,
                                                 std::chrono::milliseconds interval)
    : loop_(loop), root_(std::move(procRoot)), interval_(interval), current_(scanAbletonProcesses(root_)) {}

void ProcRunningApplications::observe(std::function<void()> abletonLaunched, std::function<void()> abletonTerminated) {
    launched_ = std::move(abletonLaunched);
    terminated_ = std::move(abletonTerminated);
    timer_ = loop_.every(interval_, [this] { scan(); }, liveness_.watch());
}

void ProcRunningApplications::scan() {
    if (scanning_) return;
    scanning_ = true;
    loop_.background<std::set<ProcessIdentity>>(
        Lane::quick, [root = root_] { return scanAbletonProcesses(root); },
        [this](Outcome<std::set<ProcessIdentity>> outcome) {
            scanning_ = false;
            if (outcome.ok()) apply(std::move(outcome.get()));
        },
        liveness_.watch());
}

void ProcRunningApplications::apply(std::set<ProcessIdentity> found) {
    bool ended = false;
    bool started = false;
    for (const auto& process : current_) ended = ended || !found.count(process);
    for (const auto& process : found) started = started || !current_.count(process);
    current_ = std::move(found);
    if (ended && terminated_) terminated_();
    if (started && launched_) launched_();
}

}  // namespace vantorel
