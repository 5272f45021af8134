#include "common/files.h"
#include "common/paths.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace vantorel {
namespace {

namespace fs = std::filesystem;

TEST(AtomicWrite, CreatesFoldersReplacesWithTheGivenPermissionsAndLeavesNoTemporary) {
    testing::TempHome home;
    fs::path target = home.root() / "a" / "b" / "store.json";
    files::writeAtomically(target, "first");
    files::writeAtomically(target, "second", 0600);
    EXPECT_EQ(files::read(target), "second");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(target.parent_path())) ++entries;
    EXPECT_EQ(entries, 1u);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(AtomicWrite, FailedRenameLeavesNoTemporaryBehind) {
    testing::TempHome home;
    // A folder where the file should be: the final rename must fail.
    fs::path target = home.root() / "store.json";
    testing::writeText(target / "keep.txt", "kept");
    EXPECT_THROW(files::writeAtomically(target, "new"), std::system_error);
    EXPECT_EQ(testing::readText(target / "keep.txt"), "kept");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(home.root())) ++entries;
    EXPECT_EQ(entries, 3u);  // tmp, run, store.json and nothing else
}

// A writer killed after each step of its write leaves the old content until
// the rename and the new one after it, never a mix; the temporary it leaves
// behind is removed when the file is next loaded.
TEST(AtomicWrite, WriterKilledAtEachStepLeavesOldOrNew) {
    testing::TempHome home;
    fs::path target = home.root() / "store.json";
    const std::string oldContent(256 * 1024, 'o');
    const std::string newContent(256 * 1024, 'n');
    struct Row {
        files::WriteStep killedAfter;
        const std::string* expected;
        bool temporaryLeft;
    } rows[] = {
        {files::WriteStep::opened, &oldContent, true},
        {files::WriteStep::written, &oldContent, true},
        {files::WriteStep::flushed, &oldContent, true},
        {files::WriteStep::renamed, &newContent, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.killedAfter));
        files::writeAtomically(target, oldContent);
        pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            files::writeAtomically(target, newContent, std::nullopt, [&](files::WriteStep step) {
                if (step == row.killedAfter) ::raise(SIGKILL);
            });
            ::_exit(0);  // not killed: the hook was never called
        }
        int status = 0;
        ::waitpid(writer, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer was not stopped";
        EXPECT_EQ(files::read(target), *row.expected);

        auto leftovers = [&] {
            std::size_t count = 0;
            for (const auto& entry : fs::directory_iterator(home.root())) {
                count += entry.path().filename().string().rfind(".store.json.tmp-", 0) == 0 ? 1 : 0;
            }
            return count;
        };
        EXPECT_EQ(leftovers(), row.temporaryLeft ? 1u : 0u);
        files::removeStaleTemporaries(target);  // too young: perhaps another writer's
        EXPECT_EQ(leftovers(), row.temporaryLeft ? 1u : 0u);
        files::removeStaleTemporaries(target, std::chrono::seconds(0));
        EXPECT_EQ(leftovers(), 0u);
    }
    // Only the store's own temporaries go.
    for (const char* name : {".store.json.tmp-", ".store.json.tmp-abcdefg", ".other.json.tmp-abcdef", "notes.txt"}) {
        testing::writeText(home.root() / name, "x");
    }
    files::removeStaleTemporaries(target, std::chrono::seconds(0));
    for (const char* name : {".store.json.tmp-", ".store.json.tmp-abcdefg", ".other.json.tmp-abcdef", "notes.txt"}) {
        EXPECT_TRUE(fs::exists(home.root() / name)) << name;
    }
}

TEST(Paths, FollowHomeAndXdgVariables) {
    testing::TempHome home;
    EXPECT_EQ(paths::appData(), home.root() / ".local/share/Vantorel");
    EXPECT_EQ(paths::bridgeConfiguration(), home.root() / ".local/share/Vantorel/bridge.json");
    EXPECT_EQ(paths::preferencesFile(), home.root() / ".config/Vantorel/preferences.json");
    EXPECT_EQ(paths::remoteScripts(), home.root() / "Music/Ableton/User Library/Remote Scripts");
    ::setenv("XDG_DATA_HOME", (home.root() / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(paths::appData(), home.root() / "data/Vantorel");
    EXPECT_EQ(paths::preferencesFile(), home.root() / ".config/Vantorel/preferences.json");
    EXPECT_EQ(paths::temporary(), home.root() / "tmp");
}

}  // namespace
}  // namespace vantorel
