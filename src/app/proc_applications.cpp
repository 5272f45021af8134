#include "app/proc_applications.h"

#include "common/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

namespace vantorel {

namespace {

constexpr std::string_view livePrefix = "ableton live";

// Lower-casing maps no character outside ASCII onto a letter of the prefix
// alone (the Kelvin sign's "k" is not in it; "İ" becomes "i" plus a combining
// dot), so a name whose first bytes are ASCII is decided by byte arithmetic,
// and ICU is left for the others.
bool beginsWithLive(std::string_view name) {
    const std::size_t head = std::min(name.size(), livePrefix.size());
    const bool ascii = std::none_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(head),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (!ascii) return text::lower(name).rfind(livePrefix, 0) == 0;
    return name.size() >= livePrefix.size() && text::asciiEqualsIgnoringCase(name.substr(0, livePrefix.size()), livePrefix);
}

std::string_view baseName(std::string_view path) {
    auto cut = path.find_last_of("/\\");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// The command name (field 2, in parentheses) and start time (field 22) of
// /proc/PID/stat. The name may itself hold spaces and parentheses: it ends
// at the last ")", from which the fields are counted.
struct StatFields {
    std::string_view comm;
    unsigned long long start = 0;
};

std::optional<StatFields> statFields(std::string_view stat) {
    auto open = stat.find('(');
    auto close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
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
            return StatFields{stat.substr(open + 1, close - open - 1), value};
        }
        at = end;
    }
    return std::nullopt;
}

// A small /proc file under the scanned root, read into `buffer` with plain
// system calls: /proc hands over what fits in one read, so a short read ends
// the file. Its length, or nothing when it cannot be opened or read.
std::optional<std::size_t> readSmall(int rootFd, std::string_view pid, std::string_view file, char* buffer,
                                     std::size_t capacity) {
    char path[64];
    if (pid.size() + 1 + file.size() + 1 > sizeof path) return std::nullopt;
    std::memcpy(path, pid.data(), pid.size());
    path[pid.size()] = '/';
    std::memcpy(path + pid.size() + 1, file.data(), file.size());
    path[pid.size() + 1 + file.size()] = '\0';
    int fd = ::openat(rootFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::size_t got = 0;
    bool failed = false;
    while (got < capacity) {
        ssize_t n = ::read(fd, buffer + got, capacity - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
        if (got < capacity) break;
    }
    ::close(fd);
    if (failed) return std::nullopt;
    return got;
}

// Whether the process is Live, its name read already: the command line is
// asked for only when the name does not say so.
bool isLive(int rootFd, std::string_view pid, std::string_view comm) {
    if (beginsWithLive(comm)) return true;
    char commandLine[4096];
    auto length = readSmall(rootFd, pid, "cmdline", commandLine, sizeof commandLine);
    if (!length) return false;
    std::string_view arguments(commandLine, *length);
    return isAbletonProcess(comm, arguments.substr(0, arguments.find('\0')));
}

}  // namespace

bool isAbletonProcess(std::string_view comm, std::string_view firstArgument) {
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r')) comm.remove_suffix(1);
    return beginsWithLive(comm) || beginsWithLive(baseName(firstArgument));
}

ProcScanner::ProcScanner(std::filesystem::path procRoot) : root_(std::move(procRoot)) {}

std::set<ProcessIdentity> ProcScanner::scan() {
    std::set<ProcessIdentity> found;
    // Opened at each scan: a root replaced meanwhile (a test's private view)
    // is read afresh.
    DIR* folder = ::opendir(root_.c_str());
    if (folder == nullptr) return found;
    const int rootFd = ::dirfd(folder);
    ++scans_;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        long pid = 0;
        auto [ptr, parseError] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parseError != std::errc() || ptr != name.data() + name.size()) continue;
        char stat[4096];
        auto length = readSmall(rootFd, name, "stat", stat, sizeof stat);
        if (!length) continue;  // gone meanwhile
        auto fields = statFields(std::string_view(stat, *length));
        if (!fields) continue;

        auto [known, isNew] = known_.try_emplace(pid);
        Known& process = known->second;
        if (isNew || process.start != fields->start || process.comm != fields->comm) {
            process.start = fields->start;
            process.comm.assign(fields->comm);
            process.live = isLive(rootFd, name, fields->comm);
            process.settled = false;
        } else if (!process.settled) {
            process.live = isLive(rootFd, name, fields->comm);
            process.settled = true;
        }
        process.seenIn = scans_;
        if (process.live) found.insert({pid, fields->start});
    }
    ::closedir(folder);
    std::erase_if(known_, [this](const auto& process) { return process.second.seenIn != scans_; });
    return found;
}

std::set<ProcessIdentity> scanAbletonProcesses(const std::filesystem::path& procRoot) {
    return ProcScanner(procRoot).scan();
}

ProcRunningApplications::ProcRunningApplications(MainLoop& loop, std::filesystem::path procRoot,
                                                 std::chrono::milliseconds interval)
    : loop_(loop),
      scanner_(std::make_shared<ProcScanner>(std::move(procRoot))),
      interval_(interval),
      current_(scanner_->scan()) {}

void ProcRunningApplications::observe(std::function<void()> abletonLaunched, std::function<void()> abletonTerminated) {
    launched_ = std::move(abletonLaunched);
    terminated_ = std::move(abletonTerminated);
    timer_ = loop_.every(interval_, [this] { scan(); }, liveness_.watch());
}

void ProcRunningApplications::scan() {
    if (scanning_) return;
    scanning_ = true;
    loop_.background<std::set<ProcessIdentity>>(
        Lane::quick, [scanner = scanner_] { return scanner->scan(); },
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
