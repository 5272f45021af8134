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

TEST(AtomicWrite, CreatesFoldersReplacesAndLeavesNoTemporary) {
    testing::TempHome home;
    fs::path target = home.root() / "a" / "b" / "store.json";
    files::writeAtomically(target, "first");
    files::writeAtomically(target, "second");
    EXPECT_EQ(files::read(target), "second");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(target.parent_path())) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(AtomicWrite, OwnerOnlyPermissionsFromTheStart) {
    testing::TempHome home;
    fs::path target = home.root() / "bridge.json";
    files::writeAtomically(target, "{}", 0600);
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

// A writer killed at any moment leaves either the old or the new content.
TEST(AtomicWrite, InterruptedWriterNeverLeavesAPartialFile) {
    testing::TempHome home;
    fs::path target = home.root() / "store.json";
    const std::string oldContent(256 * 1024, 'o');
    const std::string newContent(256 * 1024, 'n');
    for (int round = 0; round < 12; ++round) {
        files::writeAtomically(target, oldContent);
        pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (;;) {
                files::writeAtomically(target, newContent);
                files::writeAtomically(target, oldContent);
            }
        }
        ::usleep(static_cast<useconds_t>(1000 + round * 1700));
        ::kill(writer, SIGKILL);
        int status = 0;
        ::waitpid(writer, &status, 0);
        auto content = files::read(target);
        ASSERT_TRUE(content);
        EXPECT_TRUE(*content == oldContent || *content == newContent) << "round " << round << ": "
                                                                        << content->size() << " bytes";
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
