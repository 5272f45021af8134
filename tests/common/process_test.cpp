#include "common/process.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

namespace vantorel::process {
namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, FeedsInputAndCollectsOutputWithoutAShell) {
    // The argument reaches the program verbatim: no shell expands it.
    auto result = run(SpawnOptions::command({"/bin/sh", "-c", "cat; printf '%s' \"$0\" >&2", "$HOME;*"}), "prompt text", 10s);
    ASSERT_TRUE(result.status);
    EXPECT_TRUE(result.status->success());
    EXPECT_EQ(result.output, "prompt text");
    EXPECT_EQ(result.error, "$HOME;*");
}

TEST(ChildProcess, LargeInputAndOutputDoNotDeadlock) {
    std::string input(4 * 1024 * 1024, 'x');
    auto result = run(SpawnOptions::command({"/bin/cat"}), input, 30s);
    ASSERT_TRUE(result.status);
    EXPECT_EQ(result.output.size(), input.size());
}

TEST(ChildProcess, ExitCodeAndSignal) {
    auto failed = run(SpawnOptions::command({"/bin/sh", "-c", "exit 3"}), "", 10s);
    ASSERT_TRUE(failed.status);
    EXPECT_TRUE(failed.status->exited);
    EXPECT_EQ(failed.status->code, 3);
    auto killed = run(SpawnOptions::command({"/bin/sh", "-c", "kill -KILL $$"}), "", 10s);
    ASSERT_TRUE(killed.status);
    EXPECT_FALSE(killed.status->exited);
    EXPECT_EQ(killed.status->signal, SIGKILL);
}

TEST(ChildProcess, TimeoutTerminatesTheWholeGroup) {
    testing::TempHome home;
    auto marker = home.root() / "grandchild.pid";
    // The grandchild would outlive a plain kill of its parent.
    std::string script = "sleep 30 & echo $! > '" + marker.string() + "'; wait";
    auto result = run(SpawnOptions::command({"/bin/sh", "-c", script}), "", 500ms);
    EXPECT_TRUE(result.timedOut);
    EXPECT_FALSE(result.status);
    std::ifstream in(marker);
    pid_t grandchild = 0;
    in >> grandchild;
    ASSERT_GT(grandchild, 0);
    // The process may linger as a zombie of init for a moment; it must not run.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        std::ifstream stat("/proc/" + std::to_string(grandchild) + "/stat");
        std::string pid, comm, state;
        gone = !(stat >> pid >> comm >> state) || state == "Z";
        if (!gone) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(gone);
}

TEST(ChildProcess, FilesAsStandardStreams) {
    testing::TempHome home;
    auto in = home.root() / "in.txt";
    auto out = home.root() / "out.txt";
    testing::writeText(in, "from a file");
    auto options = SpawnOptions::command({"/bin/cat"});
    options.input = Stream::file(in);
    options.output = Stream::file(out);
    options.error = Stream::null();
    Child child = Child::spawn(options);
    auto status = child.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(testing::readText(out), "from a file");
}


TEST(ChildProcess, DestroyingARunningChildEndsIt) {
    pid_t pid = 0;
    {
        Child child = Child::spawn(SpawnOptions::command({"/bin/sleep", "30"}));
        pid = child.pid();
        EXPECT_FALSE(child.wait(50ms));
    }
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST(ChildProcess, FindsExecutablesOnThePathAndAMissingOneThrows) {
    EXPECT_TRUE(findInPath("sh"));
    EXPECT_FALSE(findInPath("vantorel-no-such-program"));
    EXPECT_THROW(Child::spawn(SpawnOptions::command({"/nonexistent/agent"})), std::system_error);
}

}  // namespace
}  // namespace vantorel::process
