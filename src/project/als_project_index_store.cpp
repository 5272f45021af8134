#include "project/als_project_index_store.h"

#include "common/paths.h"
#include "project/json_fields.h"

#include <system_error>

namespace vantorel {

ALSProjectIndexStore::ALSProjectIndexStore(std::optional<std::filesystem::path> rootFolder)
    : file_(rootFolder.value_or(paths::appData()) / fileName) {}

std::optional<ALSProjectIndex> ALSProjectIndexStore::load() const {
    auto content = project::readJsonFile(file_);
    if (!content) return std::nullopt;
    try {
        return ALSProjectIndex::fromJson(*content);
    } catch (const ALSProjectScannerError&) {
        return std::nullopt;
    }
}

void ALSProjectIndexStore::save(const ALSProjectIndex& index) const {
    try {
        project::writeJsonFile(file_, index.dictionary());
    } catch (const std::exception&) {
        throw ALSProjectIndexStoreError(ALSProjectIndexStoreErrorCase::saveFailed);
    }
}

void ALSProjectIndexStore::clear() const {
    std::error_code error;
    std::filesystem::remove(file_, error);
    if (error) throw ALSProjectIndexStoreError(ALSProjectIndexStoreErrorCase::clearFailed);
}

}  // namespace vantorel
