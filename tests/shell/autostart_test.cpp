#include "shell/autostart.h"

#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantorel::shell::autostart {
namespace {

namespace fs = std::filesystem;

TEST(Autostart, ExecQuotesAndReadsBackEveryPath) {
    struct Case {
        const char* program;
        const char* exec;
    };
    const Case cases[] = {
        {"/usr/bin/vantorel", R"("/usr/bin/vantorel")"},
        {"/home/a b/vantorel", R"("/home/a b/vantorel")"},
        {"/opt/100%/vantorel", R"("/opt/100%%/vantorel")"},
        {"/opt/say \"hi\"/vantorel", R"("/opt/say \\"hi\\"/vantorel")"},
        {"/opt/$HOME/`x`/vantorel", R"("/opt/\\$HOME/\\`x\\`/vantorel")"},
        {"/opt/back\\slash/vantorel", R"("/opt/back\\\\slash/vantorel")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        EXPECT_EQ(execValue(c.program), c.exec);
        EXPECT_EQ(programOf(execValue(c.program)), fs::path(c.program));
    }
    EXPECT_EQ(programOf("/usr/bin/vantorel"), fs::path("/usr/bin/vantorel"));
    EXPECT_EQ(programOf("/usr/bin/vantorel %U"), std::nullopt);
    EXPECT_EQ(programOf("\"/usr/bin/vantorel"), std::nullopt);
    EXPECT_EQ(programOf("/usr/bin/vantorel --browser"), std::nullopt);
}

TEST(Autostart, EnablingWritesOurEntryAndDisablingRemovesIt) {
    testing::TempHome home;
    const fs::path program = "/opt/my apps/vantorel";
    EXPECT_EQ(entryFile(), home.root() / ".config/autostart/vantorel.desktop");
    EXPECT_FALSE(isEnabled(program));
    ASSERT_TRUE(setEnabled(program, true));
    EXPECT_TRUE(isEnabled(program));
    EXPECT_FALSE(isEnabled("/usr/bin/vantorel")) << "another copy's entry is not ours";
    ASSERT_TRUE(setEnabled(program, false));
    EXPECT_FALSE(fs::exists(entryFile()));
    EXPECT_TRUE(setEnabled(program, false)) << "nothing to remove is no failure";
}

TEST(Autostart, EntriesSwitchedOffByTheDesktopAreOff) {
    testing::TempHome home;
    const fs::path program = "/usr/bin/vantorel";
    const std::string ours = entryText(program);
    struct Case {
        const char* label;
        std::string text;
        bool enabled;
    };
    const Case cases[] = {
        {"ours", ours, true},
        {"hidden", ours + "Hidden=true\n", false},
        {"hidden false", ours + "Hidden=false\n", true},
        {"gnome disabled", ours + "X-GNOME-Autostart-enabled=false\n", false},
        {"other group only", "[Other]\nExec=\"/usr/bin/vantorel\"\n", false},
        {"no exec", "[Desktop Entry]\nType=Application\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        testing::writeText(entryFile(), c.text);
        EXPECT_EQ(isEnabled(program), c.enabled);
    }
}

TEST(Autostart, UnwritableFolderIsAFailure) {
    testing::TempHome home;
    // Root writes through read-only modes; a file where the folder should be
    // stops everyone.
    testing::writeText(entryFile().parent_path(), "not a folder");
    EXPECT_FALSE(setEnabled("/usr/bin/vantorel", true));
    EXPECT_FALSE(isEnabled("/usr/bin/vantorel"));
    if (geteuid() != 0) {
        fs::remove(entryFile().parent_path());
        fs::create_directories(entryFile().parent_path());
        chmod(entryFile().parent_path().c_str(), 0500);
        EXPECT_FALSE(setEnabled("/usr/bin/vantorel", true));
        chmod(entryFile().parent_path().c_str(), 0700);
    }
}

}  // namespace
}  // namespace vantorel::shell::autostart
