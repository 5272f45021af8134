#include "agent/agent_runner.h"

#include "agent/agent_preferences.h"
#include "agent_test_support.h"
#include "common/json.h"
#include "common/paths.h"
#include "common/regex.h"
#include "support/expect_error.h"

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

    fs::path helper = home.root() / "app" / "vantorel-mcp";

    void SetUp() override { fs::create_directories(bin); }
    AgentRunner runner(std::chrono::milliseconds limit = 20s) {
        if (!fs::exists(helper)) testing::writeExecutable(helper, "#!/bin/sh\n");
        return AgentRunner(AgentConnector({bin}, app), limit);
    }
    std::vector<fs::path> temporaryFiles() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(paths::temporary())) {
            if (entry.path().filename().string().rfind("vantorel-agent-", 0) == 0) found.push_back(entry.path());
        }
        return found;
    }
};

TEST_F(RunnerTest, CodexNewConversationReadsTheAnswerFileAndThreadId) {
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
    writeFakeAgent(bin, "codex", "echo '{\"type\":\"item.completed\"}'\necho 'Réponse sur stdout'\n");
    auto result = runner().run(VantorelAgent::codex, "Q", "high", std::string("th-old"));
    EXPECT_EQ(result.answer, "{\"type\":\"item.completed\"}\nRéponse sur stdout");
    EXPECT_EQ(result.sessionId, "th-old");
    auto arguments = recordedArguments(bin, "codex");
    ASSERT_GE(arguments.size(), 2u);
    EXPECT_EQ(arguments[1], "resume");
    EXPECT_EQ(arguments[arguments.size() - 2], "th-old");
}

TEST_F(RunnerTest, ClaudeNewSessionWritesItsConfigurationThenResumesIt) {
    writeFakeAgent(bin, "claude",
                   "prev=''; for a in \"$@\"; do if [ \"$prev\" = '--mcp-config' ]; then cp \"$a\" '" +
                       (bin / "config.json").string() +
                       "'; fi; prev=\"$a\"; done\n"
                       "printf '%s' \"$CLAUDE_CODE_MAX_RETRIES\" > '" +
                       (bin / "retries").string() +
                       "'\n"
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
    // Without a bound its retries of a rejected key run into the time limit.
    EXPECT_EQ(testing::readText(bin / "retries"), "2");
    EXPECT_EQ(testing::readText(bin / "config.json"),
              "{\"mcpServers\":{\"vantorel\":{\"args\":[],\"command\":\"" +
                  (home.root() / "app" / "vantorel-mcp").string() + "\"}}}");
    EXPECT_THAT(temporaryFiles(), ::testing::IsEmpty());

    EXPECT_EQ(runner().run(VantorelAgent::claude, "Q", "high", std::string("sess-7")).sessionId, "sess-7");
    arguments = recordedArguments(bin, "claude");
    ASSERT_GE(arguments.size(), 2u);
    EXPECT_EQ(arguments[arguments.size() - 2], "--resume");
    EXPECT_EQ(arguments.back(), "sess-7");
}

TEST_F(RunnerTest, AnswerIsCutToTwelveThousandCharacters) {
    writeFakeAgent(bin, "codex", std::string(testing::kWriteCodexAnswer) +
                                     "i=0; while [ $i -lt 2000 ]; do printf 'éééééééééé'; i=$((i+1)); done > \"$out\"\n");
    auto result = runner().run(VantorelAgent::codex, "Q", "high", std::nullopt);
    EXPECT_EQ(result.answer.size(), 12000u * 2);  // 12 000 "é" of two bytes each
}

TEST_F(RunnerTest, FailuresCarryTheirSentences) {
    EXPECT_ERROR(runner().run(VantorelAgent::claude, "Q", "high", std::nullopt), EmbeddedAgentError,
                 EmbeddedAgentErrorCase::unavailable,
                 "Connecte Codex ou Claude Code dans Configuration pour activer les réponses IA.");

    writeFakeAgent(bin, "codex", "printf '  \\n'");
    EXPECT_ERROR(runner().run(VantorelAgent::codex, "Q", "high", std::nullopt), EmbeddedAgentError,
                 EmbeddedAgentErrorCase::emptyResponse, "L’agent IA n’a renvoyé aucune réponse.");

    // Found but not startable: a script whose interpreter does not exist.
    testing::writeExecutable(bin / "codex", "#!/nonexistent/interpreter\n");
    EXPECT_ERROR(runner().run(VantorelAgent::codex, "Q", "high", std::nullopt), EmbeddedAgentError,
                 EmbeddedAgentErrorCase::launchFailed, "L’agent IA installé n’a pas pu démarrer.");
    EXPECT_THAT(temporaryFiles(), ::testing::IsEmpty());
}

// What the producer reads for each way the agents fail: the agents' own
// formats first (Codex's JSON events), standard error without Codex's
// transport log, then standard output; known causes become a sentence that
// says what to do, anything else the agent's own line without JSON.
TEST_F(RunnerTest, EachFailureOutputGivesOneSentence) {
    namespace recorded = testing::recorded;
    const std::string codexKey = "Codex a refusé la clé d’accès : reconnecte-toi avec `codex login`, puis réessaie.";
    const std::string claudeKey =
        "Claude Code a refusé la clé d’accès : reconnecte-toi avec `claude auth login`, puis réessaie.";
    const std::string limit = " a atteint une limite d’utilisation (quota ou débit) : patiente quelques minutes ou "
                              "vérifie ton abonnement, puis réessaie.";
    const std::string longLine = "error " + std::string(2000, 'x');
    auto failedTurn = [](const std::string& message) {
        return "{\"type\":\"thread.started\",\"thread_id\":\"t-1\"}\n{\"type\":\"turn.failed\",\"error\":{\"message\":\"" +
               message + "\"}}\n";
    };
    struct Row {
        const char* label;
        VantorelAgent agent;
        std::string output;
        std::string error;
        std::string expected;
    };
    const Row rows[] = {
        {"Codex rejected key, events only", VantorelAgent::codex, recorded::kCodexRejectedKeyEvents, "", codexKey},
        {"transport noise does not hide the event", VantorelAgent::codex, recorded::kCodexRejectedKeyEvents,
         recorded::kCodexTransportNoise, codexKey},
        {"an event without a known cause is shown as is", VantorelAgent::codex,
         failedTurn("unexpected status 500 Internal Server Error: upstream overloaded"),
         recorded::kCodexTransportNoise, "unexpected status 500 Internal Server Error: upstream overloaded"},
        {"helper missing, with its backtrace", VantorelAgent::codex, "", recorded::kCodexHelperMissing,
         "Le serveur MCP Vantorel est absent de l’app. Réinstalle Vantorel."},
        {"helper that exits at once", VantorelAgent::codex, "",
         "Error: thread/start: required MCP servers failed to initialize: vantorel: handshake failed: connection "
         "closed: initialize response\n",
         "Le serveur MCP Vantorel n’a pas pu démarrer. Réinstalle Vantorel."},
        {"Claude Code rejected key on standard output", VantorelAgent::claude, recorded::kClaudeRejectedKey, "",
         claudeKey},
        {"Claude Code rate limit inside JSON", VantorelAgent::claude,
         "API Error: 429 {\"type\":\"error\",\"error\":{\"type\":\"rate_limit_error\",\"message\":\"Number of "
         "request tokens has exceeded your per-minute rate limit\"}}\n",
         "", "Claude Code" + limit},
        {"quota on the last line of standard error", VantorelAgent::codex, "request id 5",
         "Starting session\nError: quota exceeded\n", "Codex" + limit},
        {"unknown model", VantorelAgent::codex,
         failedTurn("unexpected status 404 Not Found: The model `gpt-5.6-sol` does not exist or you do not have "
                    "access to it."),
         "", "Codex ne reconnaît pas le modèle demandé : mets Codex à jour ou vérifie que ton compte y a accès, puis "
             "réessaie."},
        {"no network", VantorelAgent::codex,
         failedTurn("stream disconnected before completion: error sending request for url "
                    "(https://api.example/v1/responses)"),
         recorded::kCodexTransportNoise,
         "Codex n’a pas pu joindre son service : vérifie la connexion à Internet, puis réessaie."},
        {"other JSON error: its message, never the JSON", VantorelAgent::claude,
         "API Error: 500 {\"type\":\"error\",\"error\":{\"type\":\"api_error\",\"message\":\"Internal server "
         "error\"}}\n",
         "", "API Error: 500 Internal server error"},
        {"nothing telling", VantorelAgent::claude, "fine\n", "something odd\n",
         "L’agent IA a refusé la requête sans fournir de diagnostic."},
        {"a long line is cut", VantorelAgent::codex, "", longLine, longLine.substr(0, 900)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        testing::writeReplayingAgent(bin, std::string(executableName(row.agent)), row.output, row.error, 1);
        EXPECT_ERROR(runner().run(row.agent, "Q", "high", std::nullopt), EmbeddedAgentError,
                     EmbeddedAgentErrorCase::failed, row.expected);
    }
}

// Claude Code has no equivalent of Codex's required=true: started without
// its tool server it answers from nothing but the prompt.
TEST_F(RunnerTest, ClaudeIsNotStartedWithoutItsToolServer) {
    writeFakeAgent(bin, "claude", "echo 'Une réponse sans les données de la session.'");
    auto without = runner();
    fs::remove(helper);
    const std::string missing = "Le serveur MCP Vantorel est absent de l’app. Réinstalle Vantorel.";
    EXPECT_ERROR(without.run(VantorelAgent::claude, "Q", "high", std::nullopt), EmbeddedAgentError,
                 EmbeddedAgentErrorCase::failed, missing);
    testing::writeText(helper, "#!/bin/sh\n");  // present but not executable
    EXPECT_ERROR(without.run(VantorelAgent::claude, "Q", "high", std::nullopt), EmbeddedAgentError,
                 EmbeddedAgentErrorCase::failed, missing);
    EXPECT_FALSE(fs::exists(bin / "claude.args"));
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
    // Writes its pid, then outlives the limit without reading its input.
    testing::writeExecutable(bin / "codex", "#!/bin/sh\necho $$ > '" + (bin / "pid").string() +
                                                "'\nsleep 30 &\necho $! > '" + (bin / "child").string() +
                                                "'\nwait\n");
    std::string bigPrompt(1 << 20, 'x');  // more than a pipe holds
    EXPECT_ERROR(runner(600ms).run(VantorelAgent::codex, bigPrompt, "high", std::nullopt), EmbeddedAgentError,
                 EmbeddedAgentErrorCase::timedOut,
                 "L’agent IA a mis trop de temps à répondre. Réessaie avec une question plus ciblée.");
    for (const char* name : {"pid", "child"}) {
        SCOPED_TRACE(name);
        pid_t pid = std::stoi(testing::readText(bin / name));
        EXPECT_TRUE(processGone(pid));
    }
    EXPECT_THAT(temporaryFiles(), ::testing::IsEmpty());
}

TEST_F(RunnerTest, SelectedAgentPrefersTheRememberedInstalledOne) {
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
