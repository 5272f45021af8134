#include "agent/embedded_agent_client.h"

#include "agent_test_support.h"
#include "common/json.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

class AnswerTest : public ::testing::Test {
protected:
    testing::TempHome home;
    fs::path bin = home.root() / "bin";
    AgentRunner runner{AgentConnector({bin}, home.root() / "app" / "vantorel"), 20s};
    json context = {{"session", {{"tempo", 126}, {"project", "Club"}}},
                    {"projectAnalysis",
                     {{"tracks", json::array({{{"index", 0}, {"name", "Kick"}, {"clips", 2}, {"frozen", false}}})}}}};

    void SetUp() override { fs::create_directories(bin); }

    EmbeddedAgentErrorCase failureCase(std::string_view question, const json& liveContext) {
        try {
            EmbeddedAgentClient::answer(runner, question, liveContext, {}, std::nullopt);
        } catch (const EmbeddedAgentError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no error";
        return EmbeddedAgentErrorCase::failed;
    }
};

TEST_F(AnswerTest, NoAgentMeansUnavailableEvenForDeterministicQuestions) {
    EXPECT_EQ(failureCase("Crée une piste MIDI de basse", context), EmbeddedAgentErrorCase::unavailable);
}

TEST_F(AnswerTest, DeterministicAnswersStartNoProcess) {
    testing::writeFakeAgent(bin, "claude", "echo 'should not run'");
    auto result = EmbeddedAgentClient::answer(runner, "Crée une piste MIDI de basse", context, {}, "sess-1");
    EXPECT_EQ(result.answer, "VANTOREL_ACTION: Crée une piste MIDI nommée Bass");
    EXPECT_EQ(result.agent, VantorelAgent::claude);
    EXPECT_EQ(result.sessionId, "sess-1");
    EXPECT_FALSE(fs::exists(bin / "claude.args"));
}

TEST_F(AnswerTest, AgentAnswerIsGroundedAndThePromptCarriesTheCompactedContext) {
    testing::writeFakeAgent(bin, "codex",
                            std::string(testing::kWriteCodexAnswer) +
                                "printf 'Le kick est trop long.' > \"$out\"\n"
                                "echo '{\"type\":\"thread.started\",\"thread_id\":\"th-9\"}'\n");
    auto result = EmbeddedAgentClient::answer(runner, "Tu entends le kick ?", context,
                                              {{"user", "salut"}, {"assistant", "Bonjour"}}, std::nullopt);
    EXPECT_EQ(result.answer,
              "Je n’ai pas écouté le rendu audio ; ce diagnostic est structurel.\n\nLe kick est trop long.");
    EXPECT_EQ(result.agent, VantorelAgent::codex);
    EXPECT_EQ(result.sessionId, "th-9");

    std::string prompt = testing::readText(bin / "codex.stdin");
    std::string expectedContext = vantorel::json::compact(EmbeddedAgentClient::compactedContext(context, "Tu entends le kick ?"));
    EXPECT_EQ(prompt, EmbeddedAgentClient::buildPrompt("Tu entends le kick ?", expectedContext,
                                                       {{"user", "salut"}, {"assistant", "Bonjour"}}));
    EXPECT_EQ(expectedContext.find("frozen"), std::string::npos);
    auto arguments = testing::recordedArguments(bin, "codex");
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), "model_reasoning_effort=\"high\""), arguments.end());
}

TEST_F(AnswerTest, ContextThatIsNotUtf8IsRefused) {
    testing::writeFakeAgent(bin, "codex", "echo 'réponse'");
    json broken = context;
    broken["projectAnalysis"]["tracks"][0]["name"] = std::string("Kick \xff\xfe");
    EXPECT_EQ(failureCase("Pourquoi mon drop manque d'impact ?", broken), EmbeddedAgentErrorCase::invalidContext);
    EXPECT_FALSE(fs::exists(bin / "codex.args"));
}

TEST(CodexReasoningEffort, DeepQuestionsAndActionsGetMore) {
    struct Case {
        const char* question;
        const char* effort;
    } cases[] = {
        {"Mets le tempo à 128 BPM", "xhigh"},
        {"Analyse mon PROJET stp", "xhigh"},
        {"Comment améliorer la structure complète ?", "xhigh"},
        {"le pré-master est trop fort ?", "xhigh"},
        {"Pourquoi le kick claque ?", "high"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.question);
        EXPECT_EQ(EmbeddedAgentClient::codexReasoningEffort(c.question), c.effort);
    }
}

}  // namespace
}  // namespace vantorel
