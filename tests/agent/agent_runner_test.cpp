#include "agent/agent_runner.h"

#include "agent/agent_preferences.h"
#include "agent_test_support.h"
#include "common/json.h"
#include "common/paths.h"
#include "common/regex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <thread>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using EmbeddedAgentClient::codexArguments;

using testing::recordedArguments;
using testing::writeFakeAgent;

bool matchesWhole(const std::string& pattern, const std::string& text) {
    return regex::contains("^(?:" + pattern + ")$", text);
}

const std::string kTools =
    "\"vantorel_get_session\",\"vantorel_get_context\",\"vantorel_analyze_project\","
    "\"vantorel_analyze_mix_preparation\",\"vantorel_get_device_parameters\",\"vantorel_find_key\","
    "\"vantorel_listen_selected_clip\",\"vantorel_get_master_listen\",\"vantorel_search_samples\"";

std::vector<std::string> common(const std::string& effort, const std::string& helper, const std::string& output) {
    return {"--json", "--skip-git-repo-check", "--ignore-user-config", "--ignore-rules", "--model", "gpt-5.6-sol",
            "--config", "model_reasoning_effort=\"" + effort + "\"", "--config",
            "mcp_servers.vantorel.command=\"" + helper + "\"", "--config", "mcp_servers.vantorel.required=true",
            "--config", "mcp_servers.vantorel.enabled_tools=[" + kTools + "]", "--config",
            "mcp_servers.vantorel.default_tools_approval_mode=\"auto\"", "--output-last-message", output};
}

TEST(CodexArguments, NewAndResumedConversations) {
    auto fresh = codexArguments("/tmp/ws", "/tmp/out.txt", "high", "/opt/vantorel/vantorel-mcp", std::nullopt);
    std::vector<std::string> expected = {"exec"};
    auto part = common("high", "/opt/vantorel/vantorel-mcp", "/tmp/out.txt");
    expected.insert(expected.end(), part.begin(), part.end());
    for (const char* tail : {"--sandbox", "read-only", "--color", "never", "--cd", "/tmp/ws", "-"}) expected.push_back(tail);
    EXPECT_EQ(fresh, expected);
    EXPECT_EQ(codexArguments("/tmp/ws", "/tmp/out.txt", "high", "/opt/vantorel/vantorel-mcp", std::string()), expected);

    auto resumed = codexArguments("/tmp/ws", "/tmp/out.txt", "xhigh", "/opt/vantorel/vantorel-mcp", "thread-42");
    expected = {"exec", "resume"};
    part = common("xhigh", "/opt/vantorel/vantorel-mcp", "/tmp/out.txt");
    expected.insert(expected.end(), part.begin(), part.end());
    expected.push_back("thread-42");
    expected.push_back("-");
    EXPECT_EQ(resumed, expected);
}

TEST(CodexArguments, EscapesTheHelperPathForItsQuotedString) {
    auto arguments = codexArguments("/w", "/o", "high", R"(/Apps/My "Tools"\bin/vantorel-mcp)", std::nullopt);
    EXPECT_EQ(arguments[10], R"(mcp_servers.vantorel.command="/Apps/My \"Tools\"\\bin/vantorel-mcp")");
}

TEST(CodexThreadId, FirstThreadStartedLineWithAnIdentifier) {
    EXPECT_EQ(EmbeddedAgentClient::codexThreadId("not json\n\n{\"type\":\"thread.started\",\"thread_id\":\"\"}\n"
                                                 "[1]\n{\"type\":\"thread.started\",\"thread_id\":\"abc\"}\r\n"
                                                 "{\"type\":\"thread.started\",\"thread_id\":\"later\"}"),
              "abc");
    EXPECT_EQ(EmbeddedAgentClient::codexThreadId("{\"type\":\"turn.completed\"}\n"), std::nullopt);
}

TEST(ReadableFailure, LastTellingLineOfStandardErrorElseOutput) {
    using EmbeddedAgentClient::readableFailure;
    EXPECT_EQ(readableFailure("Starting\nError: quota exceeded\nbye\n", "request id 5"), "Error: quota exceeded");
    EXPECT_EQ(readableFailure(" \n", "loading\nLogin required: run codex login\n"),
              "Login required: run codex login");
    EXPECT_EQ(readableFailure("something odd\n", "fine"), "L’agent IA a refusé la requête sans fournir de diagnostic.");
    std::string longLine = "error " + std::string(2000, 'x');
    EXPECT_EQ(readableFailure(longLine, ""), longLine.substr(0, 900));
}

TEST(HelperPath, NextToTheAppElseNextToTheAgent) {
    EXPECT_EQ(EmbeddedAgentClient::helperPath(fs::path("/opt/vantorel/vantorel"), "/usr/bin/codex"),
              fs::path("/opt/vantorel/vantorel-mcp"));
    EXPECT_EQ(EmbeddedAgentClient::helperPath(std::nullopt, "/usr/bin/codex"), fs::path("/usr/bin/vantorel-mcp"));
}

// A temporary home with a bin folder for fake agents and an app folder whose
// executable the runner treats as its own.
class RunnerTest : public ::testing::Test {
protected:
    testing::TempHome home;
    fs::path bin = home.root() / "bin";
    fs::path app = home.root() / "app" / "vantorel";

    AgentRunner runner(std::chrono::milliseconds limit = 20s) {
        fs::create_directories(bin);
        return AgentRunner(AgentConnector({bin}, app), limit);
    }
    std::vector<fs::path> temporaryFiles() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(paths::temporary())) {
            if (entry.path().filename().string().rfind("vantorel-agent-", 0) == 0) found.push_back(entry.path());
        }
        return found;
    }
    template <typename F>
    EmbeddedAgentError failure(F&& call) {
        try {
            call();
        } catch (const EmbeddedAgentError& error) {
            return error;
        }
        ADD_FAILURE() << "no EmbeddedAgentError";
        return EmbeddedAgentError(EmbeddedAgentErrorCase::failed, "none");
    }
};

TEST_F(RunnerTest, CodexNewConversationReadsTheAnswerFileAndThreadId) {
    fs::create_directories(bin);
    writeFakeAgent(bin, "codex",
                   std::string(testing::kWriteCodexAnswer) +
                       "printf '  La réponse de Codex.\\n\\n' > \"$out\"\n"
                       "echo '{\"type\":\"thread.started\",\"thread_id\":\"th-1\"}'\n"
                       "echo 'some stdout'\n");
    auto result = runner().run(VantorelAgent::codex, "LE PROMPT\nligne 2", "xhigh", std::nullopt);
    EXPECT_EQ(result.answer, "La réponse de Codex.");
    EXPECT_EQ(result.sessionId, "th-1");
    EXPECT_EQ(testing::readText(bin / "codex.stdin"), "LE PROMPT\nligne 2");

    auto arguments = recordedArguments(bin, "codex");
    ASSERT_EQ(arguments.size(), 26u);
    fs::path workspace = paths::temporary() / "VantorelAgentWorkspace";
    EXPECT_TRUE(fs::is_directory(workspace));
    std::string answerFile = arguments[18];
    EXPECT_TRUE(matchesWhole("\\Q" + paths::temporary().string() + "\\E/vantorel-agent-[0-9A-F-]{36}\\.txt",
                             answerFile));
    EXPECT_EQ(arguments, codexArguments(workspace, answerFile, "xhigh", home.root() / "app" / "vantorel-mcp",
                                        std::nullopt));
    EXPECT_THAT(temporaryFiles(), ::testing::IsEmpty());
}

TEST_F(RunnerTest, CodexResumedConversationFallsBackToStandardOutput) {
    fs::create_directories(bin);
    writeFakeAgent(bin, "codex", "echo '{\"type\":\"item.completed\"}'\necho 'Réponse sur stdout'\n");
    auto result = runner().run(VantorelAgent::codex, "Q", "high", std::string("th-old"));
    EXPECT_EQ(result.answer, "{\"type\":\"item.completed\"}\nRéponse sur stdout");
    EXPECT_EQ(result.sessionId, "th-old");
    auto arguments = recordedArguments(bin, "codex");
    ASSERT_GE(arguments.size(), 4u);
    EXPECT_EQ(arguments[0], "exec");
    EXPECT_EQ(arguments[1], "resume");
    EXPECT_EQ(arguments[arguments.size() - 2], "th-old");
    EXPECT_EQ(arguments.back(), "-");
    EXPECT_THAT(arguments, ::testing::Not(::testing::Contains("--sandbox")));
    EXPECT_THAT(arguments, ::testing::Not(::testing::Contains("--cd")));
}

TEST_F(RunnerTest, ClaudeNewSessionWritesItsConfigurationAndReturnsTheSession) {
    fs::create_directories(bin);
    writeFakeAgent(bin, "claude",
                   "prev=''; for a in \"$@\"; do if [ \"$prev\" = '--mcp-config' ]; then cp \"$a\" '" +
                       (bin / "config.json").string() +
                       "'; fi; prev=\"$a\"; done\n"
                       "echo 'Réponse de Claude'\n");
    auto result = runner().run(VantorelAgent::claude, "Q", "high", std::nullopt);
    EXPECT_EQ(result.answer, "Réponse de Claude");
    ASSERT_TRUE(result.sessionId);
    EXPECT_TRUE(matchesWhole("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}", *result.sessionId));

    auto arguments = recordedArguments(bin, "claude");
    ASSERT_EQ(arguments.size(), 14u);
    std::string config = arguments[8];
    EXPECT_TRUE(matchesWhole("\\Q" + paths::temporary().string() + "\\E/vantorel-agent-mcp-[0-9A-F-]{36}\\.json",
                             config));
    std::vector<std::string> expected = {
        "--print", "--output-format", "text", "--permission-mode", "dontAsk", "--tools", "", "--mcp-config", config,
        "--strict-mcp-config", "--allowedTools",
        "mcp__vantorel__vantorel_get_session,mcp__vantorel__vantorel_get_context,"
        "mcp__vantorel__vantorel_analyze_project,mcp__vantorel__vantorel_analyze_mix_preparation,"
        "mcp__vantorel__vantorel_get_device_parameters,mcp__vantorel__vantorel_find_key,"
        "mcp__vantorel__vantorel_listen_selected_clip,mcp__vantorel__vantorel_get_master_listen,"
        "mcp__vantorel__vantorel_search_samples",
        "--session-id", *result.sessionId};
    EXPECT_EQ(arguments, expected);
    EXPECT_EQ(testing::readText(bin / "config.json"),
              "{\"mcpServers\":{\"vantorel\":{\"args\":[],\"command\":\"" +
                  (home.root() / "app" / "vantorel-mcp").string() + "\"}}}");
    EXPECT_THAT(temporaryFiles(), ::testing::IsEmpty());
}

TEST_F(RunnerTest, ClaudeResumesTheGivenSession) {
    fs::create_directories(bin);
    writeFakeAgent(bin, "claude", "echo ok");
    auto result = runner().run(VantorelAgent::claude, "Q", "high", std::string("sess-7"));
    EXPECT_EQ(result.sessionId, "sess-7");
    auto arguments = recordedArguments(bin, "claude");
    ASSERT_GE(arguments.size(), 2u);
    EXPECT_EQ(arguments[arguments.size() - 2], "--resume");
    EXPECT_EQ(arguments.back(), "sess-7");
}

TEST_F(RunnerTest, AnswerIsCutToTwelveThousandCharacters) {
    fs::create_directories(bin);
    writeFakeAgent(bin, "codex", std::string(testing::kWriteCodexAnswer) +
                                     "i=0; while [ $i -lt 2000 ]; do printf 'éééééééééé'; i=$((i+1)); done > \"$out\"\n");
    auto result = runner().run(VantorelAgent::codex, "Q", "high", std::nullopt);
    EXPECT_EQ(result.answer.size(), 12000u * 2);  // 12 000 "é" of two bytes each
}

TEST_F(RunnerTest, FailuresCarryTheirSentences) {
    fs::create_directories(bin);
    auto noAgent = failure([&] { runner().run(VantorelAgent::claude, "Q", "high", std::nullopt); });
    EXPECT_EQ(noAgent.kind(), EmbeddedAgentErrorCase::unavailable);
    EXPECT_EQ(noAgent.description(), "Connecte Codex ou Claude Code dans Configuration pour activer les réponses IA.");

    writeFakeAgent(bin, "codex", "echo 'Starting session' >&2\necho 'Error: quota exceeded' >&2\nexit 1");
    auto quota = failure([&] { runner().run(VantorelAgent::codex, "Q", "high", std::nullopt); });
    EXPECT_EQ(quota.kind(), EmbeddedAgentErrorCase::failed);
    EXPECT_EQ(quota.description(), "Error: quota exceeded");

    writeFakeAgent(bin, "codex", "printf '  \\n'");
    auto empty = failure([&] { runner().run(VantorelAgent::codex, "Q", "high", std::nullopt); });
    EXPECT_EQ(empty.kind(), EmbeddedAgentErrorCase::emptyResponse);
    EXPECT_EQ(empty.description(), "L’agent IA n’a renvoyé aucune réponse.");

    // Found but not startable: a script whose interpreter does not exist.
    testing::writeExecutable(bin / "codex", "#!/nonexistent/interpreter\n");
    auto launch = failure([&] { runner().run(VantorelAgent::codex, "Q", "high", std::nullopt); });
    EXPECT_EQ(launch.kind(), EmbeddedAgentErrorCase::launchFailed);
    EXPECT_EQ(launch.description(), "L’agent IA installé n’a pas pu démarrer.");
    EXPECT_THAT(temporaryFiles(), ::testing::IsEmpty());
}

// A killed grandchild is reaped by init, shortly after: give it a moment.
bool processGone(pid_t pid) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST_F(RunnerTest, AnAgentPastTheLimitIsTerminated) {
    fs::create_directories(bin);
    // Writes its pid, then outlives the limit without reading its input.
    testing::writeExecutable(bin / "codex", "#!/bin/sh\necho $$ > '" + (bin / "pid").string() +
                                                "'\nsleep 30 &\necho $! > '" + (bin / "child").string() +
                                                "'\nwait\n");
    std::string bigPrompt(1 << 20, 'x');  // more than a pipe holds
    auto timedOut = failure([&] { runner(600ms).run(VantorelAgent::codex, bigPrompt, "high", std::nullopt); });
    EXPECT_EQ(timedOut.kind(), EmbeddedAgentErrorCase::timedOut);
    EXPECT_EQ(timedOut.description(),
              "L’agent IA a mis trop de temps à répondre. Réessaie avec une question plus ciblée.");
    for (const char* name : {"pid", "child"}) {
        SCOPED_TRACE(name);
        pid_t pid = std::stoi(testing::readText(bin / name));
        EXPECT_TRUE(processGone(pid));
    }
    EXPECT_THAT(temporaryFiles(), ::testing::IsEmpty());
}

TEST_F(RunnerTest, SelectedAgentPrefersTheRememberedInstalledOne) {
    fs::create_directories(bin);
    EXPECT_EQ(runner().selectedAgent(), std::nullopt);
    testing::writeExecutable(bin / "claude", "#!/bin/sh\n");
    EXPECT_EQ(runner().selectedAgent(), VantorelAgent::claude);
    testing::writeExecutable(bin / "codex", "#!/bin/sh\n");
    EXPECT_EQ(runner().selectedAgent(), VantorelAgent::codex);
    remember(VantorelAgent::claude);
    EXPECT_EQ(runner().selectedAgent(), VantorelAgent::claude);
    auto stored = json::parse(testing::readText(paths::preferencesFile()));
    ASSERT_TRUE(stored);
    EXPECT_EQ((*stored)["Vantorel.preferredAgent"], "claude");
    fs::remove(bin / "claude");
    EXPECT_EQ(runner().selectedAgent(), VantorelAgent::codex);
}

}  // namespace
}  // namespace vantorel
