// Plan steps as bridge requests.
#include "app/app_delegate.h"
#include "bridge/readable.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

struct Sent {
    std::string path;
    std::string method;
    std::optional<Json> body;
    std::optional<double> timeout;
};

struct Outcome {
    std::vector<Sent> sent;
    std::string failure;  // readable text, "" on success
};

Outcome run(const SafePlanAction& action, std::optional<double> arrangementStart = std::nullopt) {
    Outcome outcome;
    BridgeSend send = [&](std::string_view path, std::string_view method, const std::optional<Json>& body,
                          std::optional<double> timeout) {
        outcome.sent.push_back({std::string(path), std::string(method), body, timeout});
        return Json{{"revision", 12}};
    };
    try {
        execute(action, 11, send, arrangementStart);
    } catch (const std::exception& error) {
        outcome.failure = readable(error);
    }
    return outcome;
}

SafePlanAction step(SafeActionCommand command) {
    SafePlanAction action;
    action.command = command;
    return action;
}

SafePlanAction tempo(double bpm) {
    SafePlanAction a = step(SafeActionCommand::tempo);
    a.tempo = bpm;
    return a;
}

const char* const kInvalid = "Réponse invalide du bridge Ableton.";

TEST(StepExecutor, EachCommandSendsItsRequest) {
    auto clip = step(SafeActionCommand::createMidiClip);
    clip.trackIndex = 2;
    clip.startTime = 0;
    clip.length = 16;
    auto replace = step(SafeActionCommand::replaceMidiClip);
    replace.trackIndex = 1;
    replace.notes = std::vector<SafeMidiNote>{SafeMidiNote(36, 0, 1, 100)};
    replace.state = "groovy";
    auto evolve = step(SafeActionCommand::replaceMidiClip);
    evolve.trackIndex = 1;
    evolve.state = "groovy";
    auto build = step(SafeActionCommand::buildArrangement);
    build.sourceSceneIndex = 0;
    auto state = step(SafeActionCommand::trackState);
    state.trackIndex = 0;
    state.state = "mute";
    state.enabled = true;

    struct Row {
        const char* label;
        SafePlanAction action;
        const char* path;
        Json body;  // null: no body
        std::optional<double> timeout;
    } rows[] = {
        {"tempo 40", tempo(40), "/v1/tempo", Json{{"tempo", 40.0}, {"expectedRevision", 11}}, std::nullopt},
        {"tempo 240", tempo(240), "/v1/tempo", Json{{"tempo", 240.0}, {"expectedRevision", 11}}, std::nullopt},
        {"clip without notes", clip, "/v1/clips/midi",
         Json{{"trackIndex", 2}, {"startTime", 0.0}, {"length", 16.0}, {"notes", Json::array()}, {"expectedRevision", 11},
              {"confirm", true}},
         std::nullopt},
        {"notes win over state", replace, "/v1/clips/midi/replace",
         Json{{"trackIndex", 1},
              {"notes", Json::array({Json{{"pitch", 36}, {"startTime", 0.0}, {"duration", 1.0}, {"velocity", 100},
                                          {"mute", false}, {"probability", 1.0}}})},
              {"expectedRevision", 11},
              {"confirm", true}},
         std::nullopt},
        {"style without notes", evolve, "/v1/clips/midi/evolve",
         Json{{"trackIndex", 1}, {"style", "groovy"}, {"expectedRevision", 11}, {"confirm", true}}, std::nullopt},
        {"play", step(SafeActionCommand::play), "/v1/transport/play", Json::object(), std::nullopt},
        {"stop", step(SafeActionCommand::stop), "/v1/transport/stop", Json::object(), std::nullopt},
        {"undo", step(SafeActionCommand::undo), "/v1/undo", Json{{"confirm", true}}, std::nullopt},
        {"analyze", step(SafeActionCommand::analyze), "/v1/analysis/mix-prep", Json(), std::nullopt},
        {"build", build, "/v1/arrangement/build",
         Json{{"sourceSceneIndex", 0}, {"expectedRevision", 11}, {"confirm", true}}, 95.0},
        {"state", state, "/v1/tracks/state",
         Json{{"trackIndex", 0}, {"field", "mute"}, {"enabled", true}, {"expectedRevision", 11}, {"confirm", true}},
         std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Outcome outcome = run(row.action);
        ASSERT_EQ(outcome.failure, "");
        ASSERT_EQ(outcome.sent.size(), 1u);
        EXPECT_EQ(outcome.sent[0].path, row.path);
        if (row.body.is_null()) {
            EXPECT_FALSE(outcome.sent[0].body);
        } else {
            ASSERT_TRUE(outcome.sent[0].body);
            EXPECT_EQ(*outcome.sent[0].body, row.body);
        }
        EXPECT_EQ(outcome.sent[0].timeout, row.timeout);
    }
}

TEST(StepExecutor, MissingOrOutOfRangeFieldsFailBeforeAnyRequest) {
    auto rename = step(SafeActionCommand::renameTrack);
    rename.trackIndex = 1;  // no name
    auto sample = step(SafeActionCommand::importSample);
    sample.sampleQuery = "kick";
    sample.sampleRole = "kick";
    sample.arrangementRelativeStart = 16;  // no build before it, no startTime

    struct Row {
        const char* label;
        SafePlanAction action;
    } rows[] = {
        {"tempo 39.9", tempo(39.9)},
        {"tempo 240.1", tempo(240.1)},
        {"tempo not a number", tempo(std::nan(""))},
        {"rename without name", rename},
        {"sample without a start", sample},
        {"master capture", step(SafeActionCommand::listenMaster)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Outcome outcome = run(row.action);
        EXPECT_EQ(outcome.failure, kInvalid);
        EXPECT_TRUE(outcome.sent.empty());
    }
}

TEST(StepExecutor, SampleStartsRelativeToTheArrangementBuiltEarlier) {
    auto sample = step(SafeActionCommand::importSample);
    sample.sampleQuery = "kick";
    sample.sampleRole = "kick";
    sample.arrangementRelativeStart = 16;
    sample.startTime = 4;
    EXPECT_EQ((*run(sample, 64).sent.at(0).body)["startTime"], 80.0);
    // Without a build in the plan, the action's own start.
    EXPECT_EQ((*run(sample).sent.at(0).body)["startTime"], 4.0);
}

}  // namespace
}  // namespace vantorel
