#include "agent/agent_test_support.h"
#include "app/flow_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantorel {
namespace {

using nlohmann::json;
using testing::FlowFixture;

const json kContext = {{"projectAnalysis",
                        {{"project", "Nuit"},
                         {"tracks", {{{"name", "Kick"}, {"inferredRole", "drums"}, {"hasContent", true},
                                      {"selected", true}, {"index", 0}}}}}}};

// A Codex that answers `answer` after `pause` seconds, in conversation th-N
// (N counts its runs).
void fakeCodex(const FlowFixture& f, const std::string& answer, const std::string& pause = "0") {
    testing::writeFakeAgent(f.agentFolder, "codex",
                            std::string(testing::kWriteCodexAnswer) + "sleep " + pause +
                                "\nn=$(cat '" + (f.agentFolder / "runs").string() + "' 2>/dev/null || echo 0); n=$((n+1)); echo $n > '" +
                                (f.agentFolder / "runs").string() + "'\n"
                                "printf '%s' '" + answer + "' > \"$out\"\n"
                                "echo \"{\\\"type\\\":\\\"thread.started\\\",\\\"thread_id\\\":\\\"th-$n\\\"}\"\n");
}

bool has(const std::vector<std::string>& arguments, const std::string& value) {
    return std::find(arguments.begin(), arguments.end(), value) != arguments.end();
}

TEST(QuestionFlow, EmptyAndStaleQuestionsStartNoAgent) {
    FlowFixture f;
    fakeCodex(f, "jamais");
    f.app->askTechnicalQuestion(" \n ");
    EXPECT_EQ(f.waitFor("chatResult"), (json{{"ok", false}, {"message", "Écris une question avant de l’envoyer."}}));
    f.connect("Nuit.als", kContext);
    f.clock += std::chrono::seconds(11);
    f.app->askTechnicalQuestion("pourquoi mon drop manque d’impact ?");
    EXPECT_EQ(f.waitFor("chatResult", 2)["message"],
              "Je n’ai pas encore un contexte Ableton fiable. J’attends la resynchronisation au lieu d’inventer une "
              "réponse sur le mauvais projet.");
    f.settle();
    EXPECT_FALSE(std::filesystem::exists(f.agentFolder / "codex.args"));
}

TEST(QuestionFlow, AnswersCarryThePictureTheHistoryAndTheConversation) {
    FlowFixture f;
    f.connect("Nuit.als", kContext);
    fakeCodex(f, "Allonge la structure.");
    f.app->askTechnicalQuestion("que penses-tu de mon arrangement ?");
    json first = f.waitFor("chatResult");
    EXPECT_EQ(first["ok"], true);
    EXPECT_EQ(first["source"], "codex");
    EXPECT_EQ(first["visual"]["trackCount"], 1);
    ASSERT_EQ(f.app->chatHistory.size(), 2u);
    EXPECT_EQ(f.app->embeddedAgentSessionId, "th-1");

    f.app->askTechnicalQuestion("et le kick ?");
    f.waitFor("chatResult", 2);
    EXPECT_TRUE(has(testing::recordedArguments(f.agentFolder, "codex"), "th-1"));
    EXPECT_NE(testing::readText(f.agentFolder / "codex.stdin").find("que penses-tu de mon arrangement"),
              std::string::npos);
    EXPECT_EQ(f.app->chatHistory.size(), 4u);

    // Another agent starts its own conversation, with the history still in the prompt.
    std::filesystem::remove(f.agentFolder / "codex");
    testing::writeFakeAgent(f.agentFolder, "claude", "printf 'Réponse de Claude.'");
    testing::writeExecutable(f.agentFolder / "vantorel-mcp", "#!/bin/sh\n");  // Claude Code runs only beside it
    f.app->askTechnicalQuestion("et la basse ?");
    EXPECT_EQ(f.waitFor("chatResult", 3)["source"], "claude");
    auto claude = testing::recordedArguments(f.agentFolder, "claude");
    EXPECT_TRUE(has(claude, "--session-id"));
    EXPECT_FALSE(has(claude, "--resume"));
}

TEST(QuestionFlow, AnActionLineIsPlannedNotShown) {
    FlowFixture f;
    f.connect("Nuit.als", kContext);
    fakeCodex(f, "VANTOREL_ACTION: mute la piste sélectionnée");
    f.app->askTechnicalQuestion("coupe le son de cette piste stp, elle me gêne pour écouter le reste");
    f.waitFor("planResult");
    f.settle();
    EXPECT_TRUE(f.values("chatResult").empty());
    EXPECT_TRUE(f.app->chatHistory.empty());
}

TEST(QuestionFlow, WithoutAnAgentTheFixedRulesStillAnswer) {
    FlowFixture f;
    f.connect("Nuit.als", kContext);
    f.app->askTechnicalQuestion("mute la piste sélectionnée");
    f.waitFor("planResult");
    f.app->askTechnicalQuestion("pourquoi mon drop manque d’impact ?");
    json refused = f.waitFor("chatResult");
    EXPECT_EQ(refused["ok"], false);
    EXPECT_EQ(refused["source"], "agent-unavailable");
    EXPECT_FALSE(refused["message"].get<std::string>().empty());
}

TEST(QuestionFlow, AnAnswerLandingAfterAResetIsShownButNotKept) {
    FlowFixture f;
    f.connect("A.als", kContext);
    fakeCodex(f, "VANTOREL_ACTION: mute la piste sélectionnée", "0.5");
    f.app->askTechnicalQuestion("que faire de cette piste ?");
    f.app->resetConversationSession("projectChanged");
    f.app->currentSnapshot = json{{"project", "B.als"}, {"tempo", 120}};
    json shown = f.waitFor("chatResult");
    EXPECT_EQ(shown["ok"], true);
    EXPECT_EQ(shown["answer"].get<std::string>().find("VANTOREL_ACTION"), std::string::npos);
    f.settle();
    EXPECT_TRUE(f.values("planResult").empty());
    EXPECT_TRUE(f.app->chatHistory.empty());
    EXPECT_FALSE(f.app->embeddedAgentSessionId);
}

}  // namespace
}  // namespace vantorel
