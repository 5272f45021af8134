// The whole link as a newcomer sets it up: vantorel-cli installs the package
// into a private home, the simulated Live Set runs from the installed copy with
// the token the installer wrote, and the app's own client reads it.
#include "common/process.h"
#include "support/cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

fs::path python() {
    if (fs::exists("/usr/bin/python3")) return "/usr/bin/python3";
    return process::findInPath("python3").value_or("python3");
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

using testing::runCli;

class InstalledBridge : public testing::CliTest {};

TEST_F(InstalledBridge, SimulatorFromTheInstalledCopyAnswersTheAppClient) {

    auto status = runCli({"bridge-status"});
    ASSERT_EQ(status.code, 0);
    EXPECT_EQ(status.output["readyForAbletonSetup"], false);
    EXPECT_EQ(status.output["bridgeBundled"], true);

    auto installed = runCli({"install-bridge"});
    ASSERT_EQ(installed.code, 0) << installed.output.dump();
    EXPECT_EQ(installed.output["readyForAbletonSetup"], true);
    const fs::path remoteScripts = home.root() / "Music/Ableton/User Library/Remote Scripts";
    EXPECT_EQ(installed.output["destinationPath"], (remoteScripts / "VantorelBridge").string());

    // The installer fixes port 32123; another suite may hold it, so the test
    // moves both sides to a free port and keeps the installed token.
    const int port = freePort();
    const fs::path clientConfig = home.appData() / "bridge.json";
    Json bridgeJson = Json::parse(testing::readText(clientConfig));
    bridgeJson["bridgeUrl"] = "http://127.0.0.1:" + std::to_string(port);
    testing::writeText(clientConfig, bridgeJson.dump());

    const fs::path log = home.root() / "simulator.log";
    auto options = process::SpawnOptions::command(
        {python().string(), "-m", "VantorelBridge", "--set",
         std::string(VANTOREL_SOURCE_DIR) + "/resources/VantorelBridge/sets/club-loop.json", "--port",
         std::to_string(port)});
    options.workingDirectory = remoteScripts;
    options.output = process::Stream::file(log);
    options.error = process::Stream::file(home.root() / "simulator.err");
    auto simulator = process::Child::spawn(options);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (testing::readText(log).find("listening") == std::string::npos) {
        ASSERT_TRUE(simulator.running()) << testing::readText(home.root() / "simulator.err");
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the simulator did not start";
        simulator.tryWait();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    auto health = runCli({"bridge", "GET", "/v1/health"});
    ASSERT_EQ(health.code, 0) << health.output.dump();
    EXPECT_EQ(health.output["bridgeVersion"], "0.19.0");
    EXPECT_GE(health.output["capabilities"].size(), 18u);

    auto context = runCli({"bridge", "GET", "/v1/context"});
    ASSERT_EQ(context.code, 0) << context.output.dump();
    ASSERT_TRUE(context.output["session"]["tracks"].is_array());
    bool bass = false;
    for (const Json& track : context.output["session"]["tracks"]) bass = bass || track.value("name", "") == "Bass";
    EXPECT_TRUE(bass) << context.output["session"]["tracks"].dump();
    EXPECT_TRUE(context.output["projectAnalysis"].is_object());

    // A client holding another token is refused by the installed bridge.
    bridgeJson["authToken"] = std::string(43, 'x');
    testing::writeText(clientConfig, bridgeJson.dump());
    auto refused = runCli({"bridge", "GET", "/v1/health"});
    EXPECT_EQ(refused.code, 1);

    simulator.terminate();
}

}  // namespace
}  // namespace vantorel
