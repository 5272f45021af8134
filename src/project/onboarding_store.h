// VantorelOnboardingStore: the producer's five answers and, per Live project,
// the short onboarding (organise the tracks, confirm the stage, complete).
//
// Kept in "producer-onboarding.json"; the app owns one instance and calls it
// from its main loop only. dictionary() is the "onboardingState" value the
// page receives and what the agent reads under `onboarding`. A file that
// cannot be read or decoded starts the store empty; write errors are
// swallowed. The project key is the name trimmed and lower-cased.
#pragma once

#include "project/store_writes.h"

#include "common/error.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vantorel {

enum class VantorelOnboardingErrorCase { invalidProfile, invalidStage };

class VantorelOnboardingError : public EnumError<VantorelOnboardingError, VantorelOnboardingErrorCase> {
public:
    static constexpr std::string_view typeName = "VantorelOnboardingError";
    static std::string_view caseName(VantorelOnboardingErrorCase kind) {
        switch (kind) {
            case VantorelOnboardingErrorCase::invalidProfile: return "invalidProfile";
            case VantorelOnboardingErrorCase::invalidStage: return "invalidStage";
        }
        return "invalidProfile";
    }
    static std::string_view describe(VantorelOnboardingErrorCase kind) {
        switch (kind) {
            case VantorelOnboardingErrorCase::invalidProfile:
                return "Complète les cinq choix obligatoires du profil producteur.";
            case VantorelOnboardingErrorCase::invalidStage: return "Choisis une étape comprise entre 1 et 6.";
        }
        return "";
    }
    using EnumError::EnumError;
};

struct VantorelProducerProfile {
    std::string level;         // "débutant", "intermédiaire", "avancé" or "pro"
    std::string genre;         // non-empty, at most 80 characters
    std::string references;    // may be empty, at most 240 characters
    std::string targetFormat;  // "club", "streaming" or "les deux"
    std::string mainBlocker;   // non-empty, at most 80 characters
    std::string answerStyle;   // "direct", "expliqué" or "approfondi"
    std::chrono::system_clock::time_point updatedAt;

    // The five required answers are there (references do not count).
    bool isComplete() const;
};

struct VantorelProjectOnboarding {
    std::string project;  // the name as first seen, at most 200 characters
    bool organized = false;
    std::optional<int> validatedStage;  // 1 to 6
    bool completed = false;
    std::chrono::system_clock::time_point updatedAt;
};

struct VantorelOnboardingFile {
    VantorelProducerProfile profile;
    std::map<std::string, VantorelProjectOnboarding> projects;

    nlohmann::json toJson() const;
    static std::optional<VantorelOnboardingFile> fromJson(const nlohmann::json& value);
};

class VantorelOnboardingStore {
public:
    static constexpr const char* fileName = "producer-onboarding.json";

    explicit VantorelOnboardingStore(std::optional<std::filesystem::path> rootFolder = std::nullopt);

    // Saves the web page's answers ("level", "genre", "references",
    // "targetFormat", "mainBlocker", "answerStyle"): strings are trimmed and
    // cut to their maximum length, the three choices lower-cased. Throws
    // invalidProfile, changing nothing, unless the choices are among their
    // allowed values and genre and main blocker are given.
    void saveProfile(const nlohmann::json& values);

    void markOrganized(std::string_view project);
    // Throws invalidStage outside 1…6.
    void validateStage(std::string_view project, int stage);
    // Completed only when the profile is complete and the project is organised
    // with a validated stage; otherwise stored as not completed.
    void complete(std::string_view project);
    // Empty profile, no projects; saved.
    void reset();

    // Records of `project` live in memory beside the file and are never
    // written: for a name that does not identify one project (every unsaved
    // set has the same), which must not pass its onboarding to the next.
    void keepInMemoryOnly(std::string_view project);
    // Drops the records kept in memory only.
    void forgetMemoryOnly() { memoryOnly_.clear(); }

    // The onboarding state of one project; stores nothing. detectedStage is
    // the lifecycle's current stage, when the app has one.
    nlohmann::json dictionary(std::string_view project, std::optional<int> detectedStage) const;

    const VantorelOnboardingFile& contents() const { return contents_; }
    const std::filesystem::path& file() const { return file_; }

    static std::string key(std::string_view project);

    // Where saves run from now on (see store_writes.h).
    void setWriteQueue(StoreWriteQueue queue) { queue_ = std::move(queue); }

private:
    VantorelProjectOnboarding record(std::string_view project) const;
    void store(std::string_view project, VantorelProjectOnboarding record);
    void save() const;
    StoreWriteQueue queue_;

    std::filesystem::path file_;
    VantorelOnboardingFile contents_;
    std::set<std::string> memoryOnlyKeys_;
    std::map<std::string, VantorelProjectOnboarding> memoryOnly_;
};

}  // namespace vantorel
