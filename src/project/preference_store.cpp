#include "project/preference_store.h"

#include "common/paths.h"
#include "common/text.h"
#include "common/uuid.h"
#include "project/json_fields.h"

#include <map>
#include <system_error>

namespace vantorel {

namespace {
using Json = nlohmann::json;
using Clock = std::chrono::system_clock;
}  // namespace

std::string_view toString(VantorelPreferenceOutcome outcome) {
    switch (outcome) {
        case VantorelPreferenceOutcome::accepted: return "accepted";
        case VantorelPreferenceOutcome::refused: return "refused";
        case VantorelPreferenceOutcome::undone: return "undone";
    }
    return "accepted";
}

std::optional<VantorelPreferenceOutcome> preferenceOutcomeFromString(std::string_view text) {
    if (text == "accepted") return VantorelPreferenceOutcome::accepted;
    if (text == "refused") return VantorelPreferenceOutcome::refused;
    if (text == "undone") return VantorelPreferenceOutcome::undone;
    return std::nullopt;
}

Json VantorelPreferenceSignal::toJson() const {
    Json out = {{"id", id},
                {"actionType", actionType},
                {"outcome", toString(outcome)},
                {"timestamp", project::formatDate(timestamp)}};
    if (projectStage) out["projectStage"] = *projectStage;
    if (reason) out["reason"] = *reason;
    return out;
}

Json VantorelPreferenceProfile::toJson() const {
    Json list = Json::array();
    for (const auto& signal : signals) list.push_back(signal.toJson());
    return {{"signals", std::move(list)}, {"updatedAt", project::formatDate(updatedAt)}};
}

std::optional<VantorelPreferenceProfile> VantorelPreferenceProfile::fromJson(const Json& value) {
    using namespace project;
    try {
        VantorelPreferenceProfile profile;
        for (const Json& s : requireArray(value, "signals")) {
            VantorelPreferenceSignal signal;
            signal.id = requireText(s, "id");
            signal.actionType = requireText(s, "actionType");
            if (auto stage = optionalInteger(s, "projectStage")) signal.projectStage = static_cast<int>(*stage);
            auto outcome = preferenceOutcomeFromString(requireText(s, "outcome"));
            if (!outcome) return std::nullopt;
            signal.outcome = *outcome;
            signal.reason = optionalText(s, "reason");
            signal.timestamp = requireDate(s, "timestamp");
            profile.signals.push_back(std::move(signal));
        }
        profile.updatedAt = requireDate(value, "updatedAt");
        return profile;
    } catch (const DecodeFailure&) {
        return std::nullopt;
    }
}

std::vector<std::string> VantorelPreferenceProfile::summaryLines() const {
    struct Counts {
        int accepted = 0, refused = 0, undone = 0;
    };
    // std::map orders the action types by their bytes, that is by code point.
    std::map<std::string, Counts> byType;
    for (const auto& signal : signals) {
        Counts& c = byType[signal.actionType];
        switch (signal.outcome) {
            case VantorelPreferenceOutcome::accepted: ++c.accepted; break;
            case VantorelPreferenceOutcome::refused: ++c.refused; break;
            case VantorelPreferenceOutcome::undone: ++c.undone; break;
        }
    }
    std::vector<std::string> lines;
    for (const auto& [type, c] : byType) {
        lines.push_back(type + " · " + std::to_string(c.accepted) + " validé(s), " + std::to_string(c.refused) +
                        " refusé(s), " + std::to_string(c.undone) + " annulé(s)");
    }
    return lines;
}

Json VantorelPreferenceProfile::dictionary() const {
    Json out = toJson();
    out["summaryLines"] = summaryLines();
    return out;
}

VantorelPreferenceStore::VantorelPreferenceStore(std::optional<std::filesystem::path> rootFolder)
    : file_(rootFolder.value_or(paths::appData()) / fileName) {
    std::optional<VantorelPreferenceProfile> loaded;
    if (auto content = project::readJsonFile(file_)) loaded = VantorelPreferenceProfile::fromJson(*content);
    if (loaded) {
        profile_ = std::move(*loaded);
    } else {
        profile_.updatedAt = Clock::now();
    }
}

VantorelPreferenceSignal VantorelPreferenceStore::record(std::string_view actionType, std::optional<int> projectStage,
                                                         VantorelPreferenceOutcome outcome,
                                                         std::optional<std::string_view> reason) {
    VantorelPreferenceSignal signal;
    signal.id = uuid::upper();
    signal.actionType = text::graphemePrefix(actionType, maximumTextLength);
    signal.projectStage = projectStage;
    signal.outcome = outcome;
    if (reason) signal.reason = text::graphemePrefix(*reason, maximumTextLength);
    signal.timestamp = project::wholeSeconds(Clock::now());

    profile_.signals.push_back(signal);
    if (profile_.signals.size() > maximumSignals) {
        profile_.signals.erase(profile_.signals.begin(),
                               profile_.signals.end() - static_cast<std::ptrdiff_t>(maximumSignals));
    }
    profile_.updatedAt = signal.timestamp;
    save();
    return signal;
}

void VantorelPreferenceStore::clear() {
    profile_ = VantorelPreferenceProfile{{}, Clock::now()};
    auto remove = [file = file_] {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    };
    if (queue_) {
        queue_(std::move(remove));
    } else {
        remove();
    }
}

void VantorelPreferenceStore::save() const {
    saveThrough(queue_, file_, profile_.toJson());
}

}  // namespace vantorel
