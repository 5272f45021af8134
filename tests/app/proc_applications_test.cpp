// Live among running processes, on hand-made /proc trees.
#include "app/proc_applications.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using testing::writeText;

void addProcess(const std::filesystem::path& root, long pid, const std::string& comm, const std::string& argv0,
                unsigned long long start) {
    auto folder = root / std::to_string(pid);
    writeText(folder / "comm", comm + "\n");
    writeText(folder / "cmdline", argv0 + std::string(1, '\0') + "--flag" + std::string(1, '\0'));
    // The name may hold spaces and parentheses; fields are counted from the last ")".
    writeText(folder / "stat", std::to_string(pid) + " (" + comm + ") S 1 1 1 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 " +
                                   std::to_string(start) + " 100 10");
}

TEST(ProcApplications, NamesThatAreLive) {
    struct Row {
        const char* comm;
        const char* argv0;
        bool live;
    } rows[] = {
        {"Ableton Live 12", "", true},
        {"ableton live 11 suite", "", true},
        {"wine64-preloader", "C:\\ProgramData\\Ableton\\Live 12 Suite\\Program\\Ableton Live 12 Suite.exe", true},
        {"python3", "/opt/Ableton Live 12/Ableton Live 12", true},
        {"ABLETON LIVE 12 Bêta", "", true},
        {"Ábleton Live 12", "", false},
        {"ABLETON LİVE 12", "", false},  // lower-cased, the dotted I keeps a combining dot
        {"Ableton Index", "/usr/bin/ableton-index", false},
        {"bash", "/home/me/Ableton Live 12/run.sh", false},
        {"", "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.comm) + " | " + row.argv0);
        EXPECT_EQ(isAbletonProcess(row.comm, row.argv0), row.live);
    }
}

TEST(ProcApplications, ScanKeepsLiveProcessesWithTheirStartTimes) {
    testing::TempHome home;
    auto root = home.root() / "proc";
    addProcess(root, 10, "Ableton Live 12", "/x", 500);
    addProcess(root, 11, "bash", "/bin/bash", 600);
    addProcess(root, 12, "odd ) name (x", "Ableton Live 12 Suite.exe", 700);
    writeText(root / "self" / "comm", "Ableton Live 12\n");  // not a pid
    writeText(root / "13" / "comm", "Ableton Live 12\n");    // vanished before its stat was read
    EXPECT_EQ(scanAbletonProcesses(root), (std::set<ProcessIdentity>{{10, 500}, {12, 700}}));

    // A scanner that remembers processes still sees what changes under the
    // same pid: arguments rewritten by a loader just after it started, a
    // new program in the same process (its name changes), a reused pid.
    ProcScanner scanner(root);
    addProcess(root, 20, "wine64-preload", "/usr/bin/wine64-preloader", 800);
    addProcess(root, 21, "bash", "/bin/bash", 810);
    ASSERT_EQ(scanner.scan(), (std::set<ProcessIdentity>{{10, 500}, {12, 700}}));
    addProcess(root, 20, "wine64-preload", "C:\\Live\\Ableton Live 12 Suite.exe", 800);
    addProcess(root, 21, "Ableton Live 12", "/opt/live", 810);
    addProcess(root, 12, "bash", "/bin/bash", 900);
    EXPECT_EQ(scanner.scan(), (std::set<ProcessIdentity>{{10, 500}, {20, 800}, {21, 810}}));
    std::filesystem::remove_all(root / "10");
    EXPECT_EQ(scanner.scan(), (std::set<ProcessIdentity>{{20, 800}, {21, 810}}));
}

TEST(ProcApplications, StartIsNoLaunchAndARestartBetweenScansIsBoth) {
    testing::TempHome home;
    auto root = home.root() / "proc";
    addProcess(root, 10, "Ableton Live 12", "", 500);
    MainLoop loop;
    ProcRunningApplications applications(loop, root, std::chrono::milliseconds(10));
    std::vector<std::string> seen;
    applications.observe([&] { seen.push_back("launched"); }, [&] { seen.push_back("terminated"); });
    EXPECT_TRUE(applications.isAbletonRunning());
    loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(seen.empty());

    // Same pid, new start time: Live was restarted between two scans.
    addProcess(root, 10, "Ableton Live 12", "", 900);
    ASSERT_TRUE(loop.runUntil([&] { return seen.size() >= 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(seen, (std::vector<std::string>{"terminated", "launched"}));

    std::filesystem::remove_all(root / "10");
    ASSERT_TRUE(loop.runUntil([&] { return seen.size() >= 3; }, std::chrono::seconds(5)));
    EXPECT_EQ(seen.back(), "terminated");
    EXPECT_FALSE(applications.isAbletonRunning());
}

}  // namespace
}  // namespace vantorel
