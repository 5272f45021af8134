// VantorelLifecycleStore: which stages each project reached, and when.
//
// Wraps VantorelMilestoneEngine. Each accepted session poll calls update(),
// which evaluates the stages, appends one dated event per stage gained or
// lost, saves "project-lifecycle.json" when the record changed and returns the
// snapshot the app shows. One file per user, held whole in memory; the app
// owns one instance and calls it from its main loop only (no lock).
//
// File shape: {"projects": {key: {"reached": [1, 2], "events": [...],
// "updatedAt": "..."}}}, pretty-printed, keys sorted. The key is the project
// name trimmed and lower-cased, so "My Track" and " my track " share a record.
// A file that cannot be read or decoded counts as empty and is replaced at the
// next save; save errors are swallowed and the memory stays authoritative.
#pragma once

#include "project/store_writes.h"

#include "project/milestone_engine.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantorel {

struct PersistedLifecycle {
    std::vector<int> reached;  // stages reached at the last evaluation, ascending
    std::vector<VantorelMilestoneEvent> events;  // oldest first, never trimmed
    std::chrono::system_clock::time_point updatedAt;
};

struct PersistedLifecycleFile {
    std::map<std::string, PersistedLifecycle> projects;

    nlohmann::json toJson() const;
    // Nothing when any record lacks a key or holds a mistyped value.
    static std::optional<PersistedLifecycleFile> fromJson(const nlohmann::json& value);
};

class VantorelLifecycleStore {
public:
    static constexpr const char* fileName = "project-lifecycle.json";

    // rootFolder: where the file lives; the app's data folder when absent.
    explicit VantorelLifecycleStore(std::optional<std::filesystem::path> rootFolder = std::nullopt);
    // A store that reads and writes nothing: the stages of a set that has no
    // name of its own live as long as the app's memory of that set.
    struct InMemory {};
    explicit VantorelLifecycleStore(InMemory);

    // Evaluates `project` and records what changed. `project` is the session's
    // Live Set name (the app passes "Live Set sans nom" for an unsaved set);
    // `analysis` the project-analysis object; `audioMeasurement` the latest
    // measurement's dictionary. The returned snapshot already carries the
    // events of this call and the `achievedAt` of any stage it reached. Never
    // fails; nothing is written when nothing changed.
    VantorelLifecycleSnapshot update(const std::string& project, const nlohmann::json& analysis,
                                     const std::optional<nlohmann::json>& audioMeasurement = std::nullopt);

    const std::filesystem::path& file() const { return file_; }
    const PersistedLifecycleFile& contents() const { return contents_; }

    // The record key of a project name.
    static std::string key(std::string_view project);

    // Where saves run from now on (see store_writes.h).
    void setWriteQueue(StoreWriteQueue queue) { queue_ = std::move(queue); }

private:
    void save() const;
    StoreWriteQueue queue_;

    std::filesystem::path file_;
    PersistedLifecycleFile contents_;
};

}  // namespace vantorel
