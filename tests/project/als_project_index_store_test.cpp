#include "project/als_project_index_store.h"

#include "common/iso8601.h"
#include "project/lifecycle_store.h"
#include "support/expect_error.h"
#include "support/temp_home.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace vantorel {
namespace {

ALSProjectIndex indexOf(int projects) {
    const auto when = *iso8601::parse("2026-12-01T10:00:00Z");
    ALSProjectIndex index;
    index.folderPath = "/home/me/Musique/Projets";
    index.scannedAt = when;
    for (int i = 0; i < projects; ++i) {
        ALSDocumentFacts facts;
        facts.creator = "Ableton Live 12.1";
        facts.tracks = {{"Kick", 3, 2, false}};
        facts.clipCount = 3;
        index.projects.push_back(summarize("/home/me/Musique/Projets/Set " + std::to_string(i) + ".als", facts, when,
                                           1000 + i, when));
    }
    index.warnings = {"version " + std::to_string(projects)};
    return index;
}

TEST(ALSProjectIndexStore, SavesLoadsAndClears) {
    testing::TempHome home;
    ALSProjectIndexStore store;
    EXPECT_EQ(store.file(), home.appData() / "project-index.json");
    EXPECT_FALSE(store.load().has_value()) << "no file, no index";

    store.save(indexOf(3));
    EXPECT_EQ(store.load(), indexOf(3));
    const std::string text = testing::readText(store.file());
    EXPECT_NE(text.find("\n  \"folderPath\""), std::string::npos) << "pretty-printed";
    EXPECT_LT(text.find("\"folderPath\""), text.find("\"projects\"")) << "keys sorted";

    ALSProjectIndex empty = indexOf(0);
    store.save(empty);
    EXPECT_EQ(store.load(), empty) << "an index without projects is an index";

    store.clear();
    EXPECT_FALSE(std::filesystem::exists(store.file()));
    EXPECT_NO_THROW(store.clear()) << "clearing twice succeeds";

    testing::writeText(store.file(), "{\"folderPath\": \"/x\"}");
    EXPECT_FALSE(store.load().has_value());
}

TEST(ALSProjectIndexStore, ReportsFailuresInFrench) {
    testing::TempHome home;
    testing::writeText(home.root() / "blocked", "a file where the folder should be");
    ALSProjectIndexStore store(home.root() / "blocked");
    EXPECT_ERROR(store.save(indexOf(1)), ALSProjectIndexStoreError, ALSProjectIndexStoreErrorCase::saveFailed,
                 "L’index local des projets n’a pas pu être enregistré. Vérifie l’espace disque et les droits du "
                 "dossier Vantorel.");
    std::filesystem::create_directories(home.root() / "full" / "project-index.json" / "inside");
    EXPECT_THROW(ALSProjectIndexStore(home.root() / "full").clear(), ALSProjectIndexStoreError);
}

// A writer killed at any moment leaves the old file or the new one, never a
// mix: each version written is whole and consistent.
TEST(StoreFiles, AWriterKilledMidWriteLeavesOldOrNewContent) {
    testing::TempHome home;
    std::mt19937 random(20261207);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        ALSProjectIndexStore store;
        store.save(indexOf(1));
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ALSProjectIndexStore writer;
            VantorelLifecycleStore lifecycle;
            for (int version = 2;; ++version) {
                writer.save(indexOf(version % 40));
                lifecycle.update("Song " + std::to_string(version), nlohmann::json::object());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        auto loaded = store.load();
        ASSERT_TRUE(loaded.has_value()) << testing::readText(store.file()).substr(0, 200);
        EXPECT_EQ(loaded->warnings, (std::vector<std::string>{"version " + std::to_string(loaded->projects.size())}));
        if (std::filesystem::exists(home.appData() / "project-lifecycle.json")) {
            auto content = nlohmann::json::parse(testing::readText(home.appData() / "project-lifecycle.json"), nullptr,
                                                 false);
            ASSERT_FALSE(content.is_discarded());
            EXPECT_TRUE(PersistedLifecycleFile::fromJson(content).has_value());
        }
    }
}

}  // namespace
}  // namespace vantorel
