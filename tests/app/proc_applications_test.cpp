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
    auto found = scanAbletonProcesses(root);
    EXPECT_EQ(found, (std::set<ProcessIdentity>{{10, 500}, {12, 700}}));
    EXPECT_TRUE(isAbletonProcessId(root, 12));
    EXPECT_FALSE(isAbletonProcessId(root, 11));
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
