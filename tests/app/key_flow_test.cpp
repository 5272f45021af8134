#include "app/flow_fixture.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;
using testing::FlowFixture;

// A C minor chord's pitch classes (C, E♭, G): a clear key.
const json kMidiSource = {{"kind", "midi"}, {"pitchClasses", {5, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 0}},
                          {"track", "Bass"}, {"clip", "Riff"}};

TEST(KeyFlow, MidiKeyIsReportedRememberedAndAnsweredInTheChat) {
    FlowFixture f;
    f.connect("Nuit.als");
    f.bridge.answer("/v1/key-source", kMidiSource);
    f.app->findKey(std::nullopt);
    json result = f.waitFor("keyResult");
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["kind"], "midi");
    EXPECT_EQ(result["analyzedSeconds"], 0.0);
    EXPECT_EQ(result["track"], "Bass");
    ASSERT_TRUE(f.app->lastDetectedKey);
    EXPECT_EQ(f.app->lastDetectedKey->project, "Nuit.als");
    EXPECT_EQ(f.app->lastDetectedKey->key, result["key"]);

    f.app->findKey("quelle est la tonalité de ce clip ?");
    json chat = f.waitFor("chatResult");
    EXPECT_EQ(chat["source"], "local-key-analysis");
    EXPECT_NE(chat["answer"].get<std::string>().find("analyse des notes MIDI"), std::string::npos);
    ASSERT_EQ(f.app->chatHistory.size(), 2u);
    EXPECT_EQ(f.app->chatHistory[1].content, chat["answer"]);
}

TEST(KeyFlow, FailuresAnswerInTheirOwnEvent) {
    struct Row {
        const char* label;
        std::optional<json> source;  // nothing: no bridge
        bool chat;
        std::string event;
        std::string message;
    };
    const Row rows[] = {
        {"no bridge, direct", std::nullopt, false, "keyResult", "Ableton n’est pas connecté."},
        {"no bridge, from the chat", std::nullopt, true, "chatResult", "Ableton n’est pas connecté."},
        {"unknown kind", json{{"kind", "video"}}, false, "keyResult", "Réponse invalide du bridge Ableton."},
        {"no kind", json{{"filePath", "/a.wav"}}, false, "keyResult", "Réponse invalide du bridge Ableton."},
        {"kind not a string", json{{"kind", 3}}, true, "chatResult", "Réponse invalide du bridge Ableton."},
        {"not an object", json::array(), false, "keyResult", "Réponse invalide du bridge Ableton."},
        {"audio without file", json{{"kind", "audio"}}, true, "chatResult", "Réponse invalide du bridge Ableton."},
        {"pitch classes not numbers", json{{"kind", "midi"}, {"pitchClasses", {"C"}}}, false, "keyResult",
         "Réponse invalide du bridge Ableton."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        FlowFixture f;
        if (row.source) {
            f.connect();
            f.bridge.answer("/v1/key-source", *row.source);
        }
        f.app->findKey(row.chat ? std::optional<std::string>("la tonalité ?") : std::nullopt);
        json value = f.waitFor(row.event);
        EXPECT_EQ(value, (json{{"ok", false}, {"message", row.message}}));
        EXPECT_FALSE(f.app->lastDetectedKey);
        EXPECT_TRUE(f.app->chatHistory.empty());
    }

    // Eleven pitch classes reach the analyser, whose own sentence is shown.
    FlowFixture f;
    f.connect();
    f.bridge.answer("/v1/key-source", {{"kind", "midi"}, {"pitchClasses", json(std::vector<int>(11, 1))}});
    f.app->findKey(std::nullopt);
    json value = f.waitFor("keyResult");
    EXPECT_EQ(value["ok"], false);
    EXPECT_NE(value["message"], "Réponse invalide du bridge Ableton.");
    EXPECT_FALSE(value["message"].get<std::string>().empty());
}

TEST(KeyFlow, AResultLandingAfterAResetIsShownButNotKept) {
    FlowFixture f;
    f.connect("A.als");
    f.bridge.answer("/v1/key-source", kMidiSource, std::chrono::milliseconds(300));
    f.app->findKey("quelle est la tonalité de ce clip ?");
    f.app->listenSelectedClip();  // a MIDI clip cannot be listened to
    f.app->resetConversationSession("projectChanged");
    f.app->currentSnapshot = json{{"project", "B.als"}};
    json chat = f.waitFor("chatResult");
    EXPECT_EQ(chat["ok"], true);
    EXPECT_FALSE(f.app->lastDetectedKey);
    EXPECT_TRUE(f.app->chatHistory.empty());
    EXPECT_EQ(f.waitFor("audioResult"),
              (json{{"ok", false}, {"message", "Le format audio de ce clip n’est pas pris en charge."}}));
    EXPECT_EQ(f.values("audioProgress"), (std::vector<json>{{{"active", true}}}));
}

}  // namespace
}  // namespace vantorel
