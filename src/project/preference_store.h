// VantorelPreferenceStore: what the producer accepts, refuses and undoes.
//
// Every outcome of an action becomes a signal; the newest 500 form the
// profile, kept in "preference-profile.json" and shown back to the producer as
// one summary line per action type. Nothing leaves the machine. The app owns
// one instance and calls it from its main loop only.
//
// A file that cannot be read or decoded counts as an empty profile and is
// replaced at the next record; write and delete errors are swallowed, the
// memory stays authoritative.
#pragma once

#include "project/store_writes.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

enum class VantorelPreferenceOutcome { accepted, refused, undone };

// "accepted", "refused", "undone".
std::string_view toString(VantorelPreferenceOutcome outcome);
std::optional<VantorelPreferenceOutcome> preferenceOutcomeFromString(std::string_view text);

struct VantorelPreferenceSignal {
    std::string id;          // fresh UUID
    std::string actionType;  // the action's command name, at most 80 characters
    std::optional<int> projectStage;
    VantorelPreferenceOutcome outcome = VantorelPreferenceOutcome::accepted;
    std::optional<std::string> reason;  // at most 80 characters
    std::chrono::system_clock::time_point timestamp;

    // Absent optional fields are left out.
    nlohmann::json toJson() const;
};

struct VantorelPreferenceProfile {
    std::vector<VantorelPreferenceSignal> signals;  // oldest first, at most 500
    std::chrono::system_clock::time_point updatedAt;

    nlohmann::json toJson() const;
    // Nothing when a key is missing or mistyped, or an outcome is unknown.
    static std::optional<VantorelPreferenceProfile> fromJson(const nlohmann::json& value);

    // One line per action type, in ascending order:
    // "organize · 2 validé(s), 1 refusé(s), 0 annulé(s)".
    std::vector<std::string> summaryLines() const;
    // The "preferenceProfile" event's value: the profile's JSON plus
    // "summaryLines".
    nlohmann::json dictionary() const;
};

class VantorelPreferenceStore {
public:
    static constexpr const char* fileName = "preference-profile.json";
    static constexpr std::size_t maximumSignals = 500;
    static constexpr std::size_t maximumTextLength = 80;  // user-perceived characters

    explicit VantorelPreferenceStore(std::optional<std::filesystem::path> rootFolder = std::nullopt);

    VantorelPreferenceProfile snapshot() const { return profile_; }

    // Records one outcome, keeps the newest 500 signals and saves. actionType
    // and reason are cut to their first 80 characters.
    VantorelPreferenceSignal record(std::string_view actionType, std::optional<int> projectStage,
                                    VantorelPreferenceOutcome outcome,
                                    std::optional<std::string_view> reason = std::nullopt);

    // Forgets every signal and deletes the file.
    void clear();

    const std::filesystem::path& file() const { return file_; }

    // Where saves run from now on (see store_writes.h).
    void setWriteQueue(StoreWriteQueue queue) { queue_ = std::move(queue); }

private:
    void save() const;
    StoreWriteQueue queue_;

    std::filesystem::path file_;
    VantorelPreferenceProfile profile_;
};

}  // namespace vantorel
