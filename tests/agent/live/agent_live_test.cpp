// The runner and the connector against the real Codex and Claude Code, pinned
// versions installed by scripts/test-agents, talking to a scripted model
// server on the loopback and to vantorel-mcp over the simulated Live Set.
//
// Opt-in (make test-agents): the two programs weigh hundreds of megabytes
// and the run needs a network namespace reduced to loopback, so nothing can
// leave the machine. The script sets VANTOREL_AGENT_CLIS (the folder holding
// both programs) and VANTOREL_MODEL_PORT, and points Codex at the model
// server through its system configuration file.
#include "agent/agent_connector.h"
#include "agent/agent_runner.h"
#include "common/process.h"
#include "support/cli_runner.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kToken = "live-agents-suite-token-0123456789abcdefghij";
const std::string kKey = "dummy-key-for-the-loopback-model";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// vantorel-mcp is built next to vantorel-cli, as it is installed next to the app.
fs::path mcpFolder() { return fs::path(VANTOREL_BINARY_DIR) / "src/cli"; }

// Waits until a file holds text containing `what`, while the process runs.
void awaitFile(process::Child& child, const fs::path& file, const std::string& what, const fs::path& errors) {
    auto deadline = Clock::now() + 30s;
    while (testing::readText(file).find(what) == std::string::npos) {
        child.tryWait();
        ASSERT_TRUE(child.running()) << testing::readText(errors);
        ASSERT_LT(Clock::now(), deadline) << file << " never held " << what;
        std::this_thread::sleep_for(50ms);
    }
}

void useKey(const std::string& key) {
    for (const char* name : {"OPENAI_API_KEY", "CODEX_API_KEY", "ANTHROPIC_API_KEY"}) setenv(name, key.c_str(), 1);
}

class LiveAgents : public ::testing::TestWithParam<VantorelAgent> {
protected:
    testing::TempHome home;
    std::optional<process::Child> simulator;
    std::optional<process::Child> model;
    fs::path modelLog = home.root() / "model-requests.jsonl";

    void SetUp() override {
        if (environment("VANTOREL_AGENT_CLIS").empty()) GTEST_SKIP() << "run through make test-agents";
        ASSERT_TRUE(fs::exists(mcpFolder() / "vantorel-mcp"));

        // The simulated Live Set, and vantorel-mcp's configuration to reach it.
        std::string port = environment("VANTOREL_BRIDGE_PORT");
        testing::writeText(home.root() / "remote_config.json",
                           nlohmann::json{{"auth_token", kToken}, {"port", std::stoi(port)}}.dump());
        testing::writeText(home.appData() / "bridge.json",
                           nlohmann::json{{"authToken", kToken}, {"bridgeUrl", "http://127.0.0.1:" + port}}.dump());
        auto options = process::SpawnOptions::command(
            {"/usr/bin/python3", "-m", "VantorelBridge", "--config", (home.root() / "remote_config.json").string()});
        options.workingDirectory = fs::path(VANTOREL_SOURCE_DIR) / "resources";
        options.output = process::Stream::file(home.root() / "simulator.log");
        options.error = process::Stream::file(home.root() / "simulator.err");
        simulator.emplace(process::Child::spawn(options));
        awaitFile(*simulator, home.root() / "simulator.log", "listening", home.root() / "simulator.err");

        auto server = process::SpawnOptions::command(
            {"/usr/bin/python3", (fs::path(VANTOREL_SOURCE_DIR) / "tests/agent/live/model_server.py").string(),
             environment("VANTOREL_MODEL_PORT"), (home.root() / "model.port").string(), modelLog.string()});
        server.output = process::Stream::null();
        server.error = process::Stream::file(home.root() / "model.err");
        model.emplace(process::Child::spawn(server));
        awaitFile(*model, home.root() / "model.port", environment("VANTOREL_MODEL_PORT"), home.root() / "model.err");

        useKey(kKey);
        setenv("ANTHROPIC_BASE_URL", ("http://127.0.0.1:" + environment("VANTOREL_MODEL_PORT")).c_str(), 1);
    }

    void TearDown() override {
        if (HasFailure()) std::cerr << "model requests:\n" << testing::readText(modelLog).substr(0, 20000) << "\n";
    }

    AgentConnector connector(const fs::path& appFolder) const {
        return AgentConnector({fs::path(environment("VANTOREL_AGENT_CLIS"))}, appFolder / "vantorel");
    }
    AgentRunner runner(const fs::path& appFolder = mcpFolder()) const {
        return AgentRunner(connector(appFolder), EmbeddedAgentClient::kTimeLimit);
    }

    std::string failureOf(const AgentRunner& runner) {
        try {
            auto result = runner.run(GetParam(), "Quel est le tempo du set ?", "high", std::nullopt);
            ADD_FAILURE() << "answered: " << result.answer;
        } catch (const EmbeddedAgentError& error) {
            EXPECT_EQ(error.kind(), EmbeddedAgentErrorCase::failed);
            return error.description();
        }
        return "";
    }
};

TEST_P(LiveAgents, NewAndResumedConversationsReadTheSessionThroughTheTools) {
    ASSERT_TRUE(fs::exists(testing::cliProgram()));
    auto context = testing::runCli({"bridge", "GET", "/v1/context"});
    ASSERT_EQ(context.code, 0) << context.error;
    nlohmann::json change = {{"tempo", 131.5}, {"expectedRevision", context.output["session"]["revision"]}};
    testing::writeText(home.root() / "tempo.json", change.dump());
    auto set = testing::runCli({"bridge", "POST", "/v1/tempo", (home.root() / "tempo.json").string()});
    ASSERT_EQ(set.code, 0) << set.error;

    auto first = runner().run(GetParam(), "Quel est le tempo du set ? Lis-le avec vantorel_get_context.", "high",
                              std::nullopt);
    EXPECT_EQ(first.answer, "Le tempo lu est de 131.5 BPM.");
    ASSERT_TRUE(first.sessionId);

    // The continued conversation answers from its history: no new tool call.
    auto second = runner().run(GetParam(), "Rappelle-moi le tempo que tu as lu.", "high", first.sessionId);
    EXPECT_EQ(second.answer, "Le tempo lu est de 131.5 BPM.");
    EXPECT_EQ(second.sessionId, first.sessionId);
    std::string log = testing::readText(modelLog);
    EXPECT_NE(log.find("Rappelle-moi le tempo"), std::string::npos);
}

// The time a refusal takes is mostly the agent's own start and its retries;
// the retries are what the runner bounds, so they are what is counted. The
// elapsed time is printed for the record (docs/architecture.md).
TEST_P(LiveAgents, ARejectedKeyIsReportedWithBoundedRetries) {
    useKey("rejected-key");
    auto start = Clock::now();
    std::string sentence = failureOf(runner());
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::size_t attempts = 0;
    std::string log = testing::readText(modelLog);
    for (std::size_t at = log.find("\"method\": \"POST\""); at != std::string::npos;
         at = log.find("\"method\": \"POST\"", at + 1)) {
        ++attempts;
    }
    std::cout << displayName(GetParam()) << ": rejected key reported after " << elapsed.count() << " ms and "
              << attempts << " requests\n";
    EXPECT_EQ(sentence, GetParam() == VantorelAgent::codex
                            ? "Codex a refusé la clé d’accès : reconnecte-toi avec `codex login`, puis réessaie."
                            : "Claude Code a refusé la clé d’accès : reconnecte-toi avec `claude auth login`, puis "
                              "réessaie.");
    // Claude Code: the first request and CLAUDE_CODE_MAX_RETRIES=2 more.
    // Codex 0.171.0 has no setting for it; the 150 s limit stays the bound.
    if (GetParam() == VantorelAgent::claude) {
        EXPECT_LE(attempts, 3u);
    }
    EXPECT_GE(attempts, 1u);
}

TEST_P(LiveAgents, NoAnswerWithoutTheToolServer) {
    fs::path empty = home.root() / "app-without-helper";
    fs::create_directories(empty);
    EXPECT_EQ(failureOf(runner(empty)), "Le serveur MCP Vantorel est absent de l’app. Réinstalle Vantorel.");
    // Neither agent asked the model anything it could have answered.
    EXPECT_EQ(testing::readText(modelLog).find("tempo du set"), std::string::npos);
}

TEST_P(LiveAgents, ConnectingRegistersTheToolServer) {
    auto agents = connector(mcpFolder());
    EXPECT_EQ(agents.connect(GetParam()), "Vantorel est connecté à " + std::string(displayName(GetParam())) + ".");
    std::string listed = AgentConnector::run(*agents.executable(GetParam()), {"mcp", "list"});
    EXPECT_NE(listed.find((mcpFolder() / "vantorel-mcp").string()), std::string::npos) << listed;
    // Connecting again replaces the registration instead of failing on it.
    EXPECT_EQ(agents.connect(GetParam()), "Vantorel est connecté à " + std::string(displayName(GetParam())) + ".");
}

INSTANTIATE_TEST_SUITE_P(Agents, LiveAgents, ::testing::Values(VantorelAgent::codex, VantorelAgent::claude),
                         [](const auto& info) { return std::string(rawName(info.param)); });

}  // namespace
}  // namespace vantorel
