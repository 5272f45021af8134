// ALSProjectIndexStore: the project index kept across launches, in
// "project-index.json" (pretty-printed, keys sorted, ISO 8601 dates).
//
// The app loads it at start and saves every finished scan; a scan whose save
// fails is dropped whole, so file and memory stay in step. Only reads files
// of its own: the Live Sets themselves are never touched.
#pragma once

#include "common/error.h"
#include "project/als_project.h"

#include <filesystem>
#include <optional>

namespace vantorel {

enum class ALSProjectIndexStoreErrorCase { saveFailed, clearFailed };

class ALSProjectIndexStoreError : public EnumError<ALSProjectIndexStoreError, ALSProjectIndexStoreErrorCase> {
public:
    static constexpr std::string_view typeName = "ALSProjectIndexStoreError";
    static std::string_view caseName(ALSProjectIndexStoreErrorCase kind) {
        return kind == ALSProjectIndexStoreErrorCase::saveFailed ? "saveFailed" : "clearFailed";
    }
    static std::string_view describe(ALSProjectIndexStoreErrorCase kind) {
        return kind == ALSProjectIndexStoreErrorCase::saveFailed
                   ? "L’index local des projets n’a pas pu être enregistré. Vérifie l’espace disque et les droits du dossier Vantorel."
                   : "L’index local des projets n’a pas pu être effacé. Vérifie les droits du dossier Vantorel.";
    }
    using EnumError::EnumError;
};

class ALSProjectIndexStore {
public:
    static constexpr const char* fileName = "project-index.json";

    // rootFolder: where the file lives; the app's data folder when absent.
    explicit ALSProjectIndexStore(std::optional<std::filesystem::path> rootFolder = std::nullopt);

    // The stored index; nothing when the file is missing, unreadable or does
    // not decode.
    std::optional<ALSProjectIndex> load() const;
    // Replaces the file atomically, creating its folder. Throws
    // ALSProjectIndexStoreError::saveFailed; the old file is then untouched.
    void save(const ALSProjectIndex& index) const;
    // Removes the file; no file is no error. Throws clearFailed.
    void clear() const;

    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};

}  // namespace vantorel
