// The whole link as a newcomer sets it up: vantorel-cli installs the package
// into a private home, the simulated Live Set runs from the installed copy with
// the token the installer wrote, and the app's own client reads it.
#include "common/process.h"
#include "support/cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
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

    // Loaded as Live loads it, from Remote Scripts with the configuration it
    // finds there; only the port is free instead of the installer's 32123,
    // which another suite may hold.
    auto options = process::SpawnOptions::command(
        {"/usr/bin/python3", "-m", "VantorelBridge", "--port", "0", "--set",
         std::string(VANTOREL_SOURCE_DIR) + "/resources/VantorelBridge/sets/club-loop.json"});
    options.workingDirectory = remoteScripts;
    options.error = process::Stream::file(home.root() / "simulator.err");
    auto simulator = process::Child::spawn(options);
    // "VantorelBridge VERSION listening on http://HOST:PORT"; end of file if it stops.
    std::string line;
    for (char c = 0; ::read(simulator.outputFd(), &c, 1) == 1 && c != '\n';) line += c;
    const auto url = line.find("listening on http://127.0.0.1:");
    ASSERT_NE(url, std::string::npos) << line << testing::readText(home.root() / "simulator.err");

    const fs::path clientConfig = home.appData() / "bridge.json";
    Json bridgeJson = Json::parse(testing::readText(clientConfig));
    bridgeJson["bridgeUrl"] = line.substr(url + std::string("listening on ").size());
    testing::writeText(clientConfig, bridgeJson.dump());

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
    EXPECT_EQ(runCli({"bridge", "GET", "/v1/health"}).code, 1);
}

}  // namespace
}  // namespace vantorel
