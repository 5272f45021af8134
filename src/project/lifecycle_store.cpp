#include "project/lifecycle_store.h"

#include "common/paths.h"
#include "common/text.h"
#include "project/json_fields.h"

#include <algorithm>

namespace vantorel {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::system_clock;

std::map<int, Clock::time_point> achievedDates(const std::vector<VantorelMilestoneEvent>& events) {
    std::map<int, Clock::time_point> dates;
    for (const auto& event : events) {
        if (event.kind == "reached") dates[event.milestoneID] = event.timestamp;
    }
    return dates;
}

bool contains(const std::vector<int>& list, int value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

Json PersistedLifecycleFile::toJson() const {
    Json projectsJson = Json::object();
    for (const auto& [key, record] : projects) {
        Json events = Json::array();
        for (const auto& event : record.events) events.push_back(event.toJson());
        projectsJson[key] = {
            {"reached", record.reached}, {"events", std::move(events)}, {"updatedAt", project::formatDate(record.updatedAt)}};
    }
    return {{"projects", std::move(projectsJson)}};
}

std::optional<PersistedLifecycleFile> PersistedLifecycleFile::fromJson(const Json& value) {
    using namespace project;
    try {
        PersistedLifecycleFile file;
        for (const auto& [key, recordJson] : requireObject(value, "projects").items()) {
            if (!recordJson.is_object()) return std::nullopt;
            PersistedLifecycle record;
            for (const Json& stage : requireArray(recordJson, "reached")) {
                auto number = json::asInteger(stage);
                if (!number) return std::nullopt;
                record.reached.push_back(static_cast<int>(*number));
            }
            for (const Json& event : requireArray(recordJson, "events")) {
                record.events.push_back(VantorelMilestoneEvent::fromJson(event));
            }
            record.updatedAt = requireDate(recordJson, "updatedAt");
            file.projects.emplace(key, std::move(record));
        }
        return file;
    } catch (const DecodeFailure&) {
        return std::nullopt;
    }
}

VantorelLifecycleStore::VantorelLifecycleStore(std::optional<std::filesystem::path> rootFolder)
    : file_(rootFolder.value_or(paths::appData()) / fileName) {
    if (auto content = project::readJsonFile(file_)) {
        if (auto decoded = PersistedLifecycleFile::fromJson(*content)) contents_ = std::move(*decoded);
    }
}

VantorelLifecycleStore::VantorelLifecycleStore(InMemory) : queue_(memoryOnly()) {}

std::string VantorelLifecycleStore::key(std::string_view project) { return text::lower(text::trim(project)); }

VantorelLifecycleSnapshot VantorelLifecycleStore::update(const std::string& project, const Json& analysis,
                                                         const std::optional<Json>& audioMeasurement) {
    const std::string recordKey = key(project);
    auto found = contents_.projects.find(recordKey);
    const bool existed = found != contents_.projects.end();
    // Both kinds of event of one call share one timestamp: they describe one
    // observation. Stored to the second: what the file will hold is what the
    // caller sees.
    const Clock::time_point now = project::wholeSeconds(Clock::now());
    static const std::vector<VantorelMilestoneEvent> noEvents;
    const std::vector<VantorelMilestoneEvent>& storedEvents = existed ? found->second.events : noEvents;

    VantorelLifecycleSnapshot first = VantorelMilestoneEngine::evaluate(
        project, analysis, audioMeasurement, achievedDates(storedEvents), storedEvents, now);
    std::vector<int> reachedNow;
    for (const auto& assessment : first.milestones) {
        if (assessment.state == VantorelMilestoneState::reached) reachedNow.push_back(assessment.id);
    }
    // The usual poll: nothing reached or lost, so the record (whose history
    // is never trimmed) is neither copied nor evaluated again.
    if (existed && reachedNow == found->second.reached) return first;

    PersistedLifecycle record = existed ? found->second : PersistedLifecycle{{}, {}, now};
    const std::string version(VantorelMilestoneEngine::criteriaVersion);
    for (int stage : reachedNow) {
        if (!contains(record.reached, stage)) record.events.push_back({stage, "reached", now, version});
    }
    for (int stage : record.reached) {
        if (!contains(reachedNow, stage)) record.events.push_back({stage, "regressed", now, version});
    }
    record.reached = std::move(reachedNow);
    record.updatedAt = now;
    PersistedLifecycle& stored = contents_.projects[recordKey] = std::move(record);
    save();
    return VantorelMilestoneEngine::evaluate(project, analysis, audioMeasurement, achievedDates(stored.events),
                                             stored.events, now);
}

void VantorelLifecycleStore::save() const {
    saveThrough(queue_, file_, contents_.toJson());
}

}  // namespace vantorel
