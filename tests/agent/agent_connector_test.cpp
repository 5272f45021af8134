#include "agent/agent_connector.h"

#include "agent/agent_preferences.h"
#include "agent_test_support.h"
#include "common/paths.h"
#include "support/expect_error.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using testing::recordedArguments;
using testing::writeExecutable;
using testing::writeFakeAgent;

class ConnectorTest : public ::testing::Test {
protected:
    testing::TempHome home;
    fs::path bin = home.root() / "bin";
    fs::path app = home.root() / "app";

    void SetUp() override {
        fs::create_directories(bin);
        writeExecutable(app / "vantorel-mcp", "#!/bin/sh\n");
    }
    AgentConnector connector() const { return AgentConnector({bin}, app / "vantorel"); }
};

TEST(AgentConnectorSearch, PathEntriesThenTheFixedFolders) {
    testing::TempHome home;
    const char* saved = std::getenv("PATH");
    std::string previous = saved ? saved : "";
    setenv("PATH", "/a/bin::/b/bin:", 1);
    auto folders = AgentConnector::defaultSearchFolders();
    std::vector<fs::path> expected = {"/a/bin",           "/b/bin",         home.root() / ".npm-global/bin",
                                      home.root() / ".local/bin", "/opt/homebrew/bin", "/usr/local/bin",
                                      "/usr/bin"};
    EXPECT_EQ(folders, expected);
    setenv("PATH", "", 1);
    EXPECT_EQ(AgentConnector::defaultSearchFolders().size(), 5u);
    unsetenv("PATH");
    EXPECT_EQ(AgentConnector::defaultSearchFolders().size(), 5u);
    if (saved) setenv("PATH", previous.c_str(), 1);
}

TEST_F(ConnectorTest, FindsTheFirstExecutableFile) {
    fs::path first = home.root() / "first";
    fs::create_directories(first / "codex");  // a folder is no executable
    testing::writeText(bin / "codex", "#!/bin/sh\n");  // not executable
    AgentConnector search({first, bin, app}, std::nullopt);
    EXPECT_FALSE(search.isAvailable(VantorelAgent::codex));
    writeExecutable(app / "codex", "#!/bin/sh\n");
    EXPECT_EQ(search.executable(VantorelAgent::codex), app / "codex");
    writeExecutable(bin / "codex", "#!/bin/sh\n");
    EXPECT_EQ(search.executable(VantorelAgent::codex), bin / "codex");
    EXPECT_FALSE(search.isAvailable(VantorelAgent::claude));
}

TEST_F(ConnectorTest, CodexRegistersEvenWhenNothingWasRegistered) {
    // "mcp remove" fails (nothing registered), "mcp add" succeeds silently.
    writeFakeAgent(bin, "codex",
                   "printf '%s\\n' \"$*\" >> '" + (bin / "calls").string() +
                       "'\n"
                       "if [ \"$2\" = remove ]; then echo 'Error: no server named vantorel' >&2; exit 1; fi\n");
    EXPECT_EQ(connector().connect(VantorelAgent::codex), "Vantorel est connecté à Codex.");
    EXPECT_EQ(testing::readText(bin / "calls"),
              "mcp remove vantorel\nmcp add vantorel -- " + (app / "vantorel-mcp").string() + "\n");
    EXPECT_EQ(preferredAgent(), VantorelAgent::codex);
}

TEST_F(ConnectorTest, ClaudeRegistrationAndItsOutput) {
    remember(VantorelAgent::codex);
    // What Claude Code prints on success is not what the producer reads.
    writeFakeAgent(bin, "claude",
                   "if [ \"$2\" = add ]; then echo \"Added stdio MCP server vantorel with command: $9 to user "
                   "config\"; echo 'File modified: /home/u/.claude.json'; fi\n");
    EXPECT_EQ(connector().connect(VantorelAgent::claude), "Vantorel est connecté à Claude Code.");
    std::vector<std::string> expected = {"mcp", "add", "--transport", "stdio", "--scope", "user", "vantorel", "--",
                                         (app / "vantorel-mcp").string()};
    EXPECT_EQ(recordedArguments(bin, "claude"), expected);
    EXPECT_EQ(preferredAgent(), VantorelAgent::claude);
}

TEST_F(ConnectorTest, FailuresAndTheirSentences) {
    using Case = AgentConnectorErrorCase;
    EXPECT_ERROR(connector().connect(VantorelAgent::claude), AgentConnectorError, Case::commandNotFound,
                 "Claude Code n’est pas installé sur cet ordinateur. Installe-le puis réessaie.");
    EXPECT_ERROR(connector().connect(VantorelAgent::codex), AgentConnectorError, Case::commandNotFound,
                 "Codex n’est pas installé sur cet ordinateur. Installe-le puis réessaie.");

    writeFakeAgent(bin, "claude", "if [ \"$2\" = add ]; then exit 1; fi");
    EXPECT_ERROR(connector().connect(VantorelAgent::claude), AgentConnectorError, Case::commandFailed,
                 "La configuration de claude a échoué.");
    writeFakeAgent(bin, "claude", "if [ \"$2\" = add ]; then echo '  Invalid scope  ' >&2; exit 3; fi");
    EXPECT_ERROR(connector().connect(VantorelAgent::claude), AgentConnectorError, Case::commandFailed, "Invalid scope");
    EXPECT_EQ(preferredAgent(), std::nullopt);  // a failed connection keeps the old choice

    const std::string helperMissing = "Le serveur MCP Vantorel est absent de l’app. Réinstalle Vantorel.";
    EXPECT_ERROR(AgentConnector({bin}, std::nullopt).connect(VantorelAgent::claude), AgentConnectorError,
                 Case::helperMissing, helperMissing);
    fs::remove(app / "vantorel-mcp");
    EXPECT_ERROR(connector().connect(VantorelAgent::claude), AgentConnectorError, Case::helperMissing, helperMissing);

    writeExecutable(bin / "codex", "#!/nonexistent/interpreter\n");
    EXPECT_ERROR(AgentConnector::run(bin / "codex", {"mcp"}), AgentConnectorError, Case::commandFailed,
                 "Impossible de lancer codex.");
}

}  // namespace
}  // namespace vantorel
