#include "planning/plan.h"
#include "support/expect_error.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantorel {
namespace {

using Json = nlohmann::json;

SafePlanAction bareAction(SafeActionCommand command) {
    SafePlanAction action;
    action.id = "A1";
    action.command = command;
    action.title = "Titre";
    action.detail = "Détail.";
    action.mode = "write";
    action.reversible = true;
    return action;
}

Json planJson(Json actions) {
    return {{"planId", "P"}, {"title", "T"}, {"intent", "I"}, {"expectedRevision", 3},
            {"source", "remote"}, {"actions", std::move(actions)}};
}

Json actionJson() {
    return {{"id", "A"}, {"command", "tempo.set"}, {"title", "T"}, {"detail", "D"}, {"mode", "write"},
            {"reversible", false}, {"tempo", 128}};
}

TEST(SafeActionCommand, WireStringsRoundTripInDeclarationOrder) {
    const char* expected[] = {"mix.analyze",       "tracks.organize",    "arrangement.build",  "samples.import",
                              "transport.play",    "transport.stop",     "tempo.set",          "tracks.create-midi",
                              "tracks.create-audio", "clips.create-midi", "clips.replace-midi", "tracks.rename",
                              "tracks.state",      "tracks.volume",      "actions.undo",       "audio.listen-master"};
    for (std::size_t i = 0; i < allSafeActionCommands.size(); ++i) {
        SafeActionCommand command = allSafeActionCommands[i];
        EXPECT_EQ(static_cast<std::size_t>(command), i);
        EXPECT_EQ(rawValue(command), expected[i]);
        EXPECT_EQ(commandFromRawValue(expected[i]), command);
    }
    EXPECT_EQ(caseName(SafeActionCommand::createMidiClip), "createMidiClip");
    EXPECT_EQ(commandFromRawValue("tracks.delete"), std::nullopt);
    EXPECT_EQ(commandFromRawValue("TEMPO.SET"), std::nullopt);
}

TEST(SafePlanActionJson, WritesOptionalFieldsOnlyWhenPresent) {
    Json bare = bareAction(SafeActionCommand::organize);
    EXPECT_EQ(bare, Json::parse(R"({"id":"A1","command":"tracks.organize","title":"Titre","detail":"Détail.",
                                    "mode":"write","reversible":true})"));

    SafePlanAction flag = bareAction(SafeActionCommand::trackState);
    flag.trackIndex = 2;
    flag.state = "mute";
    flag.enabled = false;
    Json encoded = flag;
    ASSERT_TRUE(encoded.contains("enabled"));
    EXPECT_EQ(encoded["enabled"], false);
    EXPECT_EQ(encoded["trackIndex"], 2);
    EXPECT_FALSE(encoded.contains("tempo"));
    EXPECT_FALSE(encoded.contains("notes"));
}

TEST(SafePlanActionJson, FullStepRoundTrips) {
    SafePlanAction action = bareAction(SafeActionCommand::buildArrangement);
    action.arrangementSections = {{"Intro", 16, {{"kick", "hat"}, {"kick", "clap", "hat"}}}};
    action.sourceSceneIndex = 0;
    action.notes = {{36, 0, 0.18, 118}, {46, 3.5, 0.2, 72, 0.72}};
    action.sampleQuery = "riser";
    action.arrangementRelativeStart = 160;
    action.name = "Lead";
    action.displayDb = -6.5;
    Json encoded = action;
    EXPECT_EQ(encoded["arrangementSections"][0]["phaseRoles"], Json::parse(R"([["kick","hat"],["kick","clap","hat"]])"));
    EXPECT_EQ(encoded["notes"][1], Json::parse(R"({"pitch":46,"startTime":3.5,"duration":0.2,"velocity":72,
                                                   "mute":false,"probability":0.72})"));
    EXPECT_EQ(encoded.get<SafePlanAction>(), action);
}

// The valid tempo step with one key changed, or removed when `value` is null.
Json actionWith(const char* key, Json value) {
    Json action = actionJson();
    if (value.is_null()) action.erase(key);
    else action[key] = std::move(value);
    return action;
}

TEST(SafeActionPlanJson, DecodingIsStrict) {
    struct Row {
        const char* label;
        Json plan;
        const char* path;
    };
    Json nullRevision = planJson(Json::array({actionJson()}));
    nullRevision["expectedRevision"] = nullptr;
    const Row rows[] = {
        {"unknown command fails the whole plan", planJson({actionJson(), actionWith("command", "tracks.delete")}),
         "plan.actions[1].command"},
        {"missing required key", planJson({actionWith("title", nullptr)}), "plan.actions[0].title"},
        {"number written as text", planJson({actionWith("tempo", "128")}), "plan.actions[0].tempo"},
        {"fractional integer", planJson({actionWith("trackIndex", 1.5)}), "plan.actions[0].trackIndex"},
        {"number for a boolean", planJson({actionWith("reversible", 0)}), "plan.actions[0].reversible"},
        {"note without mute",
         planJson({actionWith("notes", Json::parse(R"([{"pitch":36,"startTime":0,"duration":1,"velocity":90,
                                                       "probability":1}])"))}),
         "plan.actions[0].notes[0].mute"},
        {"role that is not text",
         planJson({actionWith("arrangementSections",
                              Json::parse(R"([{"name":"Intro","bars":8,"phaseRoles":[["kick",3]]}])"))}),
         "plan.actions[0].arrangementSections[0].phaseRoles[0][1]"},
        {"null required value", nullRevision, "plan.expectedRevision"},
        {"actions not an array", planJson(Json::object()), "plan.actions"},
        {"plan not an object", Json::array(), "plan"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        try {
            SafeActionPlan::decode(row.plan);
            ADD_FAILURE() << "decoded";
        } catch (const SafePlanDecodingError& error) {
            EXPECT_EQ(error.path(), row.path);
        }
    }
}

TEST(SafeActionPlanJson, DecodingAcceptsAbsentOrNullOptionalsAndIgnoresUnknownKeys) {
    Json action = actionJson();
    action["name"] = nullptr;
    action["trackIndex"] = 2.0;
    action["somethingElse"] = {{"x", 1}};
    Json document = planJson({action});
    document["comment"] = "ignored";
    SafeActionPlan plan = SafeActionPlan::decode(document);
    ASSERT_EQ(plan.actions.size(), 1u);
    EXPECT_EQ(plan.actions[0].command, SafeActionCommand::tempo);
    EXPECT_EQ(plan.actions[0].tempo, 128.0);
    EXPECT_EQ(plan.actions[0].trackIndex, 2);
    EXPECT_FALSE(plan.actions[0].name.has_value());
    EXPECT_EQ(plan.expectedRevision, 3);
    // Written back, only the known keys with values remain.
    Json expected = actionJson();
    expected["trackIndex"] = 2;
    EXPECT_EQ(plan.dictionary(), planJson({expected}));
}

TEST(SafeActionPlanJson, DictionaryRefusesNumbersJsonCannotHold) {
    SafeActionPlan plan;
    plan.planId = "P";
    SafePlanAction action = bareAction(SafeActionCommand::tempo);
    action.tempo = std::nan("");
    plan.actions.push_back(action);
    SafePlanAction clip = bareAction(SafeActionCommand::createMidiClip);
    clip.notes = {{60, 0, 1, 100}, {60, 1, HUGE_VAL, 100}};
    for (const auto& step : {action, clip}) {
        plan.actions = {bareAction(SafeActionCommand::organize), step};
        EXPECT_ERROR((void)plan.dictionary(), SafePlannerError, SafePlannerErrorCase::encodingFailed,
                     "Impossible de préparer ce plan d’actions.");
    }
}

// No other test reads these sentences: a case mapped to another's text shows here only.
TEST(PlanErrors, CasesCarryTheirFixedTexts) {
    EXPECT_EQ(SafePlannerError(SafePlannerErrorCase::emptyPrompt).description(),
              "Écris une instruction avant de préparer le plan.");
    EXPECT_EQ(SafePlannerError(SafePlannerErrorCase::missingMusicalKey).description(),
              "Précise une tonalité pour créer cette partie MIDI, par exemple F minor. La gamme affichée par Ableton "
              "n’est pas une détection.");
    EXPECT_EQ(SafePlannerError(SafePlannerErrorCase::listenLengthOutOfRange).description(),
              "L’écoute du master dure de 1 à 32 mesures : précise une durée dans cet intervalle, par exemple "
              "« écoute le master sur 8 mesures ».");
    EXPECT_EQ(SafePlannerError::caseName(SafePlannerErrorCase::nothingToUndo), "nothingToUndo");
    EXPECT_EQ(SafePlannerError(SafePlannerErrorCase::nothingToUndo).type(), "SafePlannerError");
    EXPECT_EQ(SafePlanValidationError(SafePlanValidationErrorCase::staleRevision).description(),
              "Le projet Ableton a changé depuis la préparation du plan.");
    EXPECT_EQ(SafePlanValidationError(SafePlanValidationErrorCase::invalidPlan).description(),
              "Le plan proposé ne respecte pas les limites de sécurité.");
    EXPECT_EQ(SafePlanValidationError(SafePlanValidationErrorCase::invalidAction).description(),
              "Une action proposée n’est pas autorisée ou contient des paramètres invalides.");
}

}  // namespace
}  // namespace vantorel
