#include "agent/agent_prompt.h"

#include "common/text.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using EmbeddedAgentClient::buildPrompt;
using EmbeddedAgentClient::systemText;

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

TEST(SystemText, PersonaThenFortySixRulesThenTheConversationHeading) {
    std::string_view system = systemText();
    auto all = lines(system);
    // paragraph, blank, heading, 46 rules, blank, "RECENT CONVERSATION:", "" after the final line break
    ASSERT_EQ(all.size(), 52u);
    EXPECT_TRUE(all[0].rfind("You are Vantorel", 0) == 0);
    EXPECT_EQ(all[1], "");
    EXPECT_EQ(all[2], "NON-NEGOTIABLE RULES:");
    for (std::size_t i = 3; i < 49; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(all[i].rfind("- ", 0), 0u);
    }
    EXPECT_EQ(all[49], "");
    EXPECT_EQ(all[50], "RECENT CONVERSATION:");
    EXPECT_EQ(all[51], "");
    EXPECT_GT(system.size(), 11000u);
    EXPECT_LT(system.size(), 13500u);
    // Literals other parts of the system match on.
    for (const char* literal : {"\"VANTOREL_ACTION: \"", "\"la piste sélectionnée\"",
                                "\"Je n’ai pas écouté le rendu audio ; ce diagnostic est structurel.\"",
                                "\"rawClipSourcePreFx\"", "\"renderedMasterResampling\"", "`vantorel_get_context`",
                                "\"VANTOREL_ACTION: Annule la dernière action Vantorel\"", "\"approfondi\"",
                                "\"piste 15\"", "\"étapes\"", "\"jalons\""}) {
        SCOPED_TRACE(literal);
        EXPECT_NE(system.find(literal), std::string_view::npos);
    }
    // The action-routing rule is the twentieth.
    EXPECT_EQ(all[22].rfind("- Action routing:", 0), 0u);
}

TEST(BuildPrompt, Layout) {
    std::string prompt = buildPrompt("Pourquoi ?", "{\"a\":1}", {});
    EXPECT_EQ(prompt, std::string(systemText()) +
                          "No previous turns.\n\nLIVE ABLETON CONTEXT (automatically refreshed):\n{\"a\":1}"
                          "\n\nUSER QUESTION:\nPourquoi ?\n\nReturn only the final user-facing answer.");
}

TEST(BuildPrompt, KeepsTheLastTwelveTurnsAndCutsLongTexts) {
    std::vector<RemoteChatTurn> history;
    for (int i = 0; i < 14; ++i) history.push_back({i % 2 ? "assistant" : "user", "turn " + std::to_string(i)});
    history.push_back({"system", std::string(2500, 'x')});
    std::string question;
    for (int i = 0; i < 4100; ++i) question += "é";
    std::string prompt = buildPrompt(question, "{}", history);
    std::string_view rest = std::string_view(prompt).substr(systemText().size());
    std::string expected;
    for (int i = 3; i < 14; ++i) expected += std::string(i % 2 ? "ASSISTANT" : "USER") + ": turn " + std::to_string(i) + "\n";
    expected += "USER: " + std::string(2000, 'x');
    EXPECT_EQ(rest.substr(0, expected.size()), expected);
    EXPECT_EQ(rest.substr(expected.size(), 2), "\n\n");
    std::size_t questionAt = prompt.find("USER QUESTION:\n") + 15;
    std::size_t questionEnd = prompt.find("\n\nReturn only");
    EXPECT_EQ(text::graphemeCount(prompt.substr(questionAt, questionEnd - questionAt)), 4000u);
}

}  // namespace
}  // namespace vantorel
