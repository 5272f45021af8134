#include "agent/agent_test_support.h"
#include "app/flow_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantorel {
namespace {

using nlohmann::json;
using testing::FlowFixture;
using namespace std::chrono_literals;

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

TEST(QuestionFlow, EachQuestionGetsOneAnswerAndKeepsOnlyWhatBelongsToTheSet) {
    const std::string staleText = "Je n’ai pas encore un contexte Ableton fiable. J’attends la resynchronisation au "
                                  "lieu d’inventer une réponse sur le mauvais projet.";
    const std::string muteLine = "VANTOREL_ACTION: mute la piste sélectionnée";
    // What is shown of an answer that is only an action line.
    const std::string unplannedText = "Je ne peux pas préparer cette action en toute sécurité avec les informations "
                                      "actuelles. Précise la cible ou la valeur exacte, puis réessaie.";
    struct Row {
        const char* label;
        std::optional<std::string> agentAnswer;  // nothing: no agent installed
        std::string question;
        void (*before)(FlowFixture&);     // before asking
        void (*meanwhile)(FlowFixture&);  // while the agent runs (it takes 0.5 s)
        std::string event;                // the one answer
        json expected;                    // members of its value
        bool agentRuns;
        bool conversationKept;            // the agent's conversation resumes next time
    };
    auto stale = [](FlowFixture& f) { f.clock += 11s; };
    auto reset = [](FlowFixture& f) {
        f.app->resetConversationSession("projectChanged");
        f.app->currentSnapshot = json{{"project", "B.als"}, {"tempo", 120}};
    };
    const Row rows[] = {
        {"empty", "jamais", " \n ", nullptr, nullptr, "chatResult",
         {{"ok", false}, {"message", "Écris une question avant de l’envoyer."}}, false, false},
        {"stale", "jamais", "pourquoi mon drop manque d’impact ?", stale, nullptr, "chatResult",
         {{"ok", false}, {"message", staleText}}, false, false},
        {"action line", muteLine, "coupe le son de cette piste stp, elle me gêne", nullptr, nullptr, "planResult", {},
         true, true},
        {"no agent, fixed rule", std::nullopt, "mute la piste sélectionnée", nullptr, nullptr, "planResult", {}, false,
         false},
        {"no agent, question", std::nullopt, "pourquoi mon drop manque d’impact ?", nullptr, nullptr, "chatResult",
         {{"ok", false}, {"source", "agent-unavailable"}}, false, false},
        {"answer after a reset", muteLine, "coupe le son de cette piste stp", nullptr, reset, "chatResult",
         {{"ok", true}, {"answer", unplannedText}, {"source", "codex"}}, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        FlowFixture f;
        f.connect("A.als", kContext);
        if (row.agentAnswer) fakeCodex(f, *row.agentAnswer, row.meanwhile ? "0.5" : "0");
        if (row.before) row.before(f);
        f.app->askTechnicalQuestion(row.question);
        if (row.meanwhile) row.meanwhile(f);
        const json value = f.waitFor(row.event);
        f.settle();
        for (const auto& [key, expected] : row.expected.items()) EXPECT_EQ(value.contains(key) ? value[key] : json(), expected) << key;
        EXPECT_EQ(f.values("chatResult").size() + f.values("planResult").size(), 1u);
        EXPECT_TRUE(f.app->chatHistory.empty());
        EXPECT_EQ(f.app->embeddedAgentSessionId.has_value(), row.conversationKept);
        EXPECT_EQ(std::filesystem::exists(f.agentFolder / "codex.args"), row.agentRuns);
    }
}

TEST(QuestionFlow, AnotherAgentStartsItsOwnConversationWithTheHistoryInThePrompt) {
    FlowFixture f;
    f.connect("Nuit.als", kContext);
    fakeCodex(f, "Allonge la structure.");
    f.app->askTechnicalQuestion("que penses-tu de mon arrangement ?");
    json first = f.waitFor("chatResult");
    EXPECT_EQ(first["source"], "codex");
    EXPECT_EQ(first["visual"]["trackCount"], 1);
    EXPECT_EQ(f.app->embeddedAgentSessionId, "th-1");

    std::filesystem::remove(f.agentFolder / "codex");
    testing::writeFakeAgent(f.agentFolder, "claude", "printf 'Réponse de Claude.'");
    testing::writeExecutable(f.agentFolder / "vantorel-mcp", "#!/bin/sh\n");  // Claude Code runs only beside it
    f.app->askTechnicalQuestion("et la basse ?");
    EXPECT_EQ(f.waitFor("chatResult", 2)["source"], "claude");
    auto claude = testing::recordedArguments(f.agentFolder, "claude");
    EXPECT_TRUE(has(claude, "--session-id"));
    EXPECT_FALSE(has(claude, "--resume"));
    EXPECT_NE(testing::readText(f.agentFolder / "claude.stdin").find("que penses-tu de mon arrangement"),
              std::string::npos);
    EXPECT_EQ(f.app->chatHistory.size(), 4u);
}

TEST(QuestionFlow, TheHistoryKeepsTwelveTurnsCutToTheirLimits) {
    // "e" and a combining acute accent: one character, two code points.
    auto characters = [](std::size_t count) {
        std::string out;
        for (std::size_t i = 0; i < count; ++i) out += "e\u0301";
        return out;
    };
    FlowFixture f;
    f.connect("Nuit.als", kContext);
    fakeCodex(f, characters(8001));
    f.app->askTechnicalQuestion("Pourquoi " + characters(1600));
    EXPECT_EQ(f.waitFor("chatResult")["answer"], characters(8001));  // shown whole
    ASSERT_EQ(f.app->chatHistory.size(), 2u);
    EXPECT_EQ(f.app->chatHistory[0].content, "Pourquoi " + characters(1591));
    EXPECT_EQ(f.app->chatHistory[1].content, characters(8000));

    for (std::size_t asked = 2; asked <= 7; ++asked) {
        f.app->askTechnicalQuestion("question " + std::to_string(asked));
        f.waitFor("chatResult", asked);
    }
    ASSERT_EQ(f.app->chatHistory.size(), 12u);
    EXPECT_EQ(f.app->chatHistory.front().content, "question 2");
    EXPECT_EQ(f.app->chatHistory.back().role, "assistant");
}

}  // namespace
}  // namespace vantorel
