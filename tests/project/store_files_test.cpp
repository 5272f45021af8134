// What the four stores share about their files: a writer killed before its
// rename left a hidden temporary beside the file; the store removes it when it
// loads, and leaves a fresh one (another process may be writing) alone.
#include "project/als_project_index_store.h"
#include "project/lifecycle_store.h"
#include "project/onboarding_store.h"
#include "project/preference_store.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <functional>

namespace vantorel {
namespace {

namespace fs = std::filesystem;

TEST(StoreFiles, LoadingRemovesTheTemporariesOfKilledWriters) {
    struct Row {
        const char* file;
        std::function<void()> load;
    } rows[] = {
        {ALSProjectIndexStore::fileName, [] { (void)ALSProjectIndexStore().load(); }},
        {VantorelLifecycleStore::fileName, [] { VantorelLifecycleStore store; }},
        {VantorelOnboardingStore::fileName, [] { VantorelOnboardingStore store; }},
        {VantorelPreferenceStore::fileName, [] { VantorelPreferenceStore store; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        testing::TempHome home;
        fs::path stale = home.appData() / ("." + std::string(row.file) + ".tmp-a1B2c3");
        fs::path fresh = home.appData() / ("." + std::string(row.file) + ".tmp-d4E5f6");
        testing::writeText(stale, "{\"half\":");
        testing::writeText(fresh, "{\"half\":");
        fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(1));
        row.load();
        EXPECT_FALSE(fs::exists(stale));
        EXPECT_TRUE(fs::exists(fresh));
    }
}

}  // namespace
}  // namespace vantorel
