#include "shell/single_instance.h"

#include "common/process.h"
#include "support/temp_home.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace vantorel::shell {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(SingleInstance, PrefersTheHigherVersionThenTheLowerPid) {
    struct Case {
        const char* label;
        InstanceIdentity a, b;
        bool aPreferred;
    };
    const Case cases[] = {
        {"1.10 over 1.9", {"1.10", 900}, {"1.9", 100}, true},
        {"1.9 under 1.10", {"1.9", 100}, {"1.10", 900}, false},
        {"unreadable counts as 0", {"0", 100}, {"0.1", 900}, false},
        {"equal versions, lower pid", {"1.2.0", 100}, {"1.2.0", 900}, true},
        {"equal versions, higher pid", {"1.2.0", 900}, {"1.2.0", 100}, false},
        {"0.2 over 0.10? no", {"0.2", 1}, {"0.10", 2}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(preferredInstance(c.a, c.b), c.aPreferred);
    }
}

TEST(SingleInstance, FolderFollowsTheRuntimeDirectory) {
    testing::TempHome home;
    EXPECT_EQ(defaultInstanceFolder(), home.root() / "run/vantorel");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(defaultInstanceFolder(), home.root() / "tmp" / ("vantorel-" + std::to_string(geteuid())));
}

TEST(SingleInstance, HoldsAndReleasesTheLockAndReplacesAStaleSocket) {
    testing::TempHome home;
    const fs::path folder = home.root() / "run/vantorel";
    fs::create_directories(folder);
    testing::writeText(folder / "instance.sock", "left over by a crash");
    {
        auto first = SingleInstance::claim({"1", getpid()}, folder);
        EXPECT_EQ(first->result(), SingleInstance::Claim::only);
        struct stat info {};
        ASSERT_EQ(stat((folder / "instance.sock").c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        ASSERT_EQ(stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
    EXPECT_FALSE(fs::exists(folder / "instance.sock"));
    auto again = SingleInstance::claim({"1", getpid()}, folder);
    EXPECT_EQ(again->result(), SingleInstance::Claim::only);
}

TEST(SingleInstance, UntrustedFoldersLaunchUnguarded) {
    testing::TempHome home;
    fs::create_directories(home.root() / "elsewhere");
    fs::create_symlink(home.root() / "elsewhere", home.root() / "run/vantorel");
    EXPECT_EQ(SingleInstance::claim({"1", getpid()}, home.root() / "run/vantorel")->result(),
              SingleInstance::Claim::unguarded);
    EXPECT_FALSE(fs::exists(home.root() / "elsewhere/instance.lock"));

    testing::writeText(home.root() / "run/plain-file", "");
    EXPECT_EQ(SingleInstance::claim({"1", getpid()}, home.root() / "run/plain-file")->result(),
              SingleInstance::Claim::unguarded);

    if (geteuid() == 0) {
        const fs::path foreign = home.root() / "run/foreign";
        fs::create_directories(foreign);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_EQ(SingleInstance::claim({"1", getpid()}, foreign)->result(), SingleInstance::Claim::unguarded);
    }
}

// A probe process and its output, read line by line.
class Probe {
public:
    Probe(const fs::path& folder, const std::string& version, const std::string& address = "-",
          const std::string& extra = "")
        : child_(process::Child::spawn(process::SpawnOptions::command(
              extra.empty() ? std::vector<std::string>{program(), folder.string(), version, address}
                            : std::vector<std::string>{program(), folder.string(), version, address, extra}))) {}
    static std::string program() { return std::string(VANTOREL_BINARY_DIR) + "/tests/shell/instance_probe"; }

    // Waits for a line of output equal to `line`.
    bool says(const std::string& line, std::chrono::milliseconds timeout = 8000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            for (std::size_t at; (at = buffer_.find('\n')) != std::string::npos;) {
                std::string got = buffer_.substr(0, at);
                buffer_.erase(0, at + 1);
                lines_.push_back(got);
                if (got == line) return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{child_.outputFd(), POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char chunk[256];
            ssize_t n = read(child_.outputFd(), chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    std::string transcript() const {
        std::string all;
        for (const auto& line : lines_) all += line + " | ";
        return all + buffer_;
    }
    process::Child& child() { return child_; }

private:
    process::Child child_;
    std::string buffer_;
    std::vector<std::string> lines_;
};

class TwoInstances : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(Probe::program())) GTEST_SKIP() << "instance_probe is not built";
        folder = home.root() / "run/vantorel";
    }
    testing::TempHome home;
    fs::path folder;
};

TEST_F(TwoInstances, OlderNewcomerLeavesWithTheAddressAndTheHolderShows) {
    Probe holder(folder, "2.0", "http://127.0.0.1:4242/#token=abc");
    ASSERT_TRUE(holder.says("only")) << holder.transcript();
    Probe newcomer(folder, "1.9");
    EXPECT_TRUE(newcomer.says("deferred http://127.0.0.1:4242/#token=abc")) << newcomer.transcript();
    auto status = newcomer.child().wait(5000ms);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->success());
    EXPECT_TRUE(holder.says("shown")) << holder.transcript();
    EXPECT_TRUE(holder.child().running());
}

TEST_F(TwoInstances, NewerVersionReplacesTheHolder) {
    Probe holder(folder, "1.9");
    ASSERT_TRUE(holder.says("only"));
    Probe newcomer(folder, "1.10");
    EXPECT_TRUE(holder.says("asked to quit")) << holder.transcript();
    EXPECT_TRUE(newcomer.says("replaced")) << newcomer.transcript();
    auto status = holder.child().wait(5000ms);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->success());
    // The newcomer now holds the instance: a third copy of its version defers to it.
    Probe third(folder, "1.10");
    EXPECT_TRUE(third.says("deferred -")) << third.transcript();
    EXPECT_TRUE(newcomer.says("shown"));
}

TEST_F(TwoInstances, HolderThatIgnoresTheRequestIsTerminated) {
    Probe holder(folder, "1.0", "-", "ignore-quit");
    ASSERT_TRUE(holder.says("only"));
    Probe newcomer(folder, "1.1");
    EXPECT_TRUE(holder.says("asked to quit"));
    EXPECT_TRUE(newcomer.says("replaced")) << newcomer.transcript();
    auto status = holder.child().wait(5000ms);
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->exited);
    EXPECT_EQ(status->signal, SIGTERM);
}

}  // namespace
}  // namespace vantorel::shell
