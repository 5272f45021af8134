// The controller against a fake bridge: mirror, plans, undo, router, and
// the faults it must not repeat.
#include "app_fixture.h"

#include "bridge/readable.h"

using nlohmann::json;
using vantorel::testing::AppTest;
using vantorel::testing::Reply;
using namespace std::chrono_literals;

namespace vantorel {
namespace {

const json muteStep = {{"command", "tracks.state"}, {"trackIndex", 0}, {"state", "mute"}, {"enabled", true}};
const json readStep = {{"command", "mix.analyze"}, {"mode", "read"}, {"reversible", false}};
const json undoStep = {{"command", "actions.undo"}, {"reversible", false}};

// ---- Mirror ---------------------------------------------------------------------

TEST_F(AppTest, OnlyTheLatestConnectionAttemptKeepsItsClient) {
    app->connectBridge();
    app->connectBridge();
    ASSERT_TRUE(waitEvent("contextStatus"));
    pump([] { return false; }, 200ms);
    // Two health checks, one client, one first poll.
    EXPECT_EQ(fake.requestsTo("/v1/health").size(), 2u);
    EXPECT_EQ(fake.requestsTo("/v1/context").size(), 1u);
    EXPECT_EQ(web.named("contextStatus").size(), 1u);
}

TEST_F(AppTest, RepliesWithoutSessionOrRevisionChangeNothing) {
    connect();
    const auto before = web.events.size();
    const auto revision = app->currentRevision;
    for (json reply : {json{{"projectAnalysis", json::object()}}, json{{"session", json{{"project", "X"}}}},
                       json{{"session", json{{"revision", "9"}}}}}) {
        SCOPED_TRACE(reply.dump());
        fake.setContextReply(reply);
        poll();
        EXPECT_EQ(web.events.size(), before);
        EXPECT_EQ(app->currentRevision, revision);
        EXPECT_TRUE(app->currentSnapshot);
    }
}

// A reply that differs from the last one only in its age and capture time
// keeps the mirror, refreshed in place (freshness included), and the page
// sees what a parse of it would have shown.
TEST_F(AppTest, ARepeatedReplyKeepsTheMirrorFreshAndSendsWhatAParseWould) {
    connect();
    EXPECT_EQ(web.named("contextStatus").back(), (json{{"revision", 7}, {"ageMs", 5}, {"capturedAtUnix", nullptr}}));
    json reply{{"session", {{"project", "Club Loop"}, {"revision", 7}, {"tracks", json::array({{{"name", "Bass"}}})}}},
               {"projectAnalysis", {{"tracks", json::array({{{"index", 0}, {"name", "Bass"}}})}}},
               {"contextAgeMs", 5},
               {"capturedAtUnix", 1700000000.5}};
    fake.setContextReply(reply);
    poll();
    const json* mirror = app->currentContext.get();
    auto pollEvents = [&] {
        web.events.clear();
        poll();
        return web.events;
    };
    advance(10s);
    EXPECT_TRUE(app->contextIsFresh());
    advance(1ms);
    EXPECT_FALSE(app->contextIsFresh());
    reply["contextAgeMs"] = 1250;
    reply["capturedAtUnix"] = 1700000002;
    fake.setContextReply(reply);
    const auto repeated = pollEvents();
    EXPECT_TRUE(app->contextIsFresh());
    EXPECT_EQ(app->currentContext.get(), mirror);
    EXPECT_EQ(repeated.back()["value"], (json{{"revision", 7}, {"ageMs", 1250}, {"capturedAtUnix", 1700000002}}));

    // The same reply parsed, the mirror being held elsewhere: the same events
    // and the same mirror.
    const json refreshed = *app->currentContext;
    std::shared_ptr<const json> held = app->currentContext;
    EXPECT_EQ(pollEvents(), repeated);
    EXPECT_NE(app->currentContext.get(), mirror);
    EXPECT_EQ(*app->currentContext, refreshed);

    held.reset();
    reply["session"]["revision"] = 8;
    fake.setContextReply(reply);
    poll();
    EXPECT_EQ(web.named("contextStatus").back()["revision"], 8);
}

TEST(ContextReplies, OnlyTheTimingMembersMayDifferFromTheParsedReply) {
    const std::string first =
        R"({"ok":true,"result":{"session":{"revision":7},"contextAgeMs":5,"capturedAtUnix":1.5}})";
    struct Row {
        std::string next;
        bool repeats;
    } rows[] = {
        {R"({"ok":true,"result":{"session":{"revision":7},"contextAgeMs":12345,"capturedAtUnix":-2e3}})", true},
        {R"({"ok":true,"result":{"session":{"revision":8},"contextAgeMs":5,"capturedAtUnix":1.5}})", false},
        {R"({"ok":true,"result":{"session":{"revision":7},"contextAgeMs":"5","capturedAtUnix":1.5}})", false},
        {R"({"ok":true,"result":{"session":{"revision":7},"contextAgeMs":5,"capturedAtUnix":1.5}} )", false},
        {R"({"ok":true,"result":{"session":{"revision":7},"contextAgeMs":05,"capturedAtUnix":1.5}})", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.next);
        ContextReplyReader reader;
        ContextReply parsed = reader.read(200, first, 0);
        ASSERT_TRUE(parsed.result);
        ASSERT_NE(parsed.number, 0u);
        ContextReply next;
        try {
            next = reader.read(200, row.next, parsed.number);
        } catch (const std::exception&) {
            EXPECT_FALSE(row.repeats);
            continue;
        }
        EXPECT_EQ(!next.result, row.repeats);
        if (row.repeats) {
            EXPECT_EQ(next.number, parsed.number);
            EXPECT_EQ(next.timing, (json{{"contextAgeMs", 12345}, {"capturedAtUnix", -2e3}}));
        }
        // Unless the mirror says it holds that reply, every reply is parsed.
        EXPECT_TRUE(reader.read(200, first, 0).result);
    }
    // Replies that can never be taken as a repeat: keys escaped or repeated.
    for (std::string body : {R"({"ok":true,"result":{"context\u0041geMs":5}})",
                             R"({"ok":true,"result":{"contextAgeMs":5,"contextAgeMs":6}})",
                             R"({"ok":true,"result":{},"result":{"contextAgeMs":5}})"}) {
        EXPECT_EQ(ContextReplyReader().read(200, body, 0).number, 0u) << body;
    }
}

TEST_F(AppTest, RenamingResetsOnceAndAHiccupDoesNotHideAnotherSet) {
    connect();
    fake.setProject("Autre");
    poll();
    poll();
    ASSERT_EQ(web.named("sessionReset").size(), 1u);
    EXPECT_EQ(web.named("sessionReset")[0]["reason"], "projectChanged");

    // A failed poll, then a third set: the conversation of "Autre" ends too.
    fake.queue("/v1/context", Reply{500, "not json"});
    poll();
    EXPECT_FALSE(app->currentSnapshot);
    fake.setProject("Troisième");
    poll();
    EXPECT_EQ(web.named("sessionReset").size(), 2u);
}

TEST_F(AppTest, MeasurementIsMergedOnlyIntoItsOwnProject) {
    connect();
    app->latestAudioMeasurement = json{{"project", "Club Loop"}, {"peakDb", -1}};
    poll();
    EXPECT_TRUE(app->currentContext->contains("audioMeasurement"));
    // Another set is opened without a reset reaching the measurement.
    app->latestAudioMeasurement = json{{"project", "Club Loop"}, {"peakDb", -1}};
    fake.setProject("B");
    app->lastSeenProject.reset();
    poll();
    EXPECT_FALSE(app->currentContext->contains("audioMeasurement"));
}

// Work off the loop holds the mirror as it was: an edit made meanwhile (an
// onboarding answer, a measurement) reaches the controller's mirror only, and
// the next poll replaces the mirror without touching the held one.
TEST_F(AppTest, HeldMirrorIsNeverEditedUnderItsHolder) {
    connect();
    std::shared_ptr<const json> held = app->currentContext;
    (*app->editableContext())["audioMeasurement"] = json{{"peakDb", -3}};
    EXPECT_FALSE(held->contains("audioMeasurement"));
    EXPECT_TRUE(app->currentContext->contains("audioMeasurement"));
    EXPECT_NE(held.get(), app->currentContext.get());

    // With no holder left, an edit is made in place.
    held.reset();
    const json* before = app->currentContext.get();
    (*app->editableContext())["onboarding"] = json::object();
    EXPECT_EQ(app->currentContext.get(), before);

    held = app->currentContext;
    poll();
    EXPECT_EQ(held->at("audioMeasurement").at("peakDb"), -3);
    EXPECT_FALSE(app->currentContext->contains("audioMeasurement"));
}

TEST_F(AppTest, SilentBridgeIsReportedAfterThePollLimit) {
    // The limit is the poll's own (1 s here, 12 s in the product), far
    // below the 60 s of writes.
    connect();
    fake.queue("/v1/context", Reply{200, "{}", "application/json", 3s});
    const auto started = std::chrono::steady_clock::now();
    app->pollNow();
    ASSERT_TRUE(pump([&] { return !web.named("contextInvalidated").empty(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
    EXPECT_EQ(web.named("contextInvalidated")[0]["message"], notAnsweringText);
}

TEST_F(AppTest, RecheckTellsThePageAndReadyReplaysTheLastConnectionState) {
    connect();
    install({muteStep});
    message({{"type", "recheckConnection"}});
    ASSERT_FALSE(web.named("contextInvalidated").empty());
    EXPECT_EQ(web.named("contextInvalidated").back()["message"], "Reconnexion à Ableton en cours…");
    EXPECT_FALSE(app->pendingPlan);
    ASSERT_TRUE(waitEvent("contextStatus", 2));

    applications.running = false;
    app->abletonTerminated();
    web.events.clear();
    message({{"type", "ready"}});
    EXPECT_EQ(web.names(), (std::vector<std::string>{"setupStatus", "projectIndex", "preferenceProfile",
                                                     "contextInvalidated", "connection"}));
    EXPECT_EQ(web.named("connection")[0]["abletonRunning"], false);
}

// ---- Plans --------------------------------------------------------------------------

TEST_F(AppTest, StepsCarryTheRevisionOfThePreviousStep) {
    connect();
    auto planId = install({muteStep, muteStep, muteStep});
    message({{"type", "executePlan"}, {"planId", planId}});
    ASSERT_TRUE(waitEvent("planExecutionResult"));
    auto writes = fake.requestsTo("/v1/tracks/state");
    ASSERT_EQ(writes.size(), 3u);
    for (std::size_t i = 0; i < writes.size(); ++i)
        EXPECT_EQ(json::parse(writes[i].body)["expectedRevision"], 7 + static_cast<long long>(i));
    EXPECT_EQ(web.named("planProgress").size(), 3u);
    EXPECT_FALSE(app->planExecutionInFlight);
}

TEST_F(AppTest, ARefusedSecondStepStopsThePlanAndKeepsTheFirstUndoable) {
    connect();
    auto planId = install({muteStep, muteStep, muteStep});
    fake.queue("/v1/tracks/state", Reply{200, json{{"ok", true}, {"result", {{"revision", 8}, {"undoAvailable", true}}}}.dump()});
    fake.queue("/v1/tracks/state",
               Reply{409, json{{"ok", false}, {"error", {{"code", "staleRevision"}, {"message", "Révision périmée."}}}}.dump()});
    message({{"type", "executePlan"}, {"planId", planId}});
    ASSERT_TRUE(waitEvent("planExecutionResult"));
    json result = web.named("planExecutionResult")[0];
    EXPECT_EQ(result["ok"], false);
    EXPECT_EQ(result["completed"], 1);
    EXPECT_EQ(result["total"], 3);
    EXPECT_EQ(result["undoAvailable"], true);
    EXPECT_EQ(web.named("planProgress").size(), 2u);
}

TEST_F(AppTest, AFailedPlanThatOnlyReadOffersNoUndo) {
    connect();
    auto planId = install({readStep, muteStep});
    fake.queue("/v1/tracks/state", Reply{500, "{}"});
    message({{"type", "executePlan"}, {"planId", planId}});
    ASSERT_TRUE(waitEvent("planExecutionResult"));
    EXPECT_EQ(web.named("planExecutionResult")[0]["completed"], 1);
    EXPECT_EQ(web.named("planExecutionResult")[0]["undoAvailable"], false);
}

TEST_F(AppTest, AnUndoStepNeitherOffersUndoNorBecomesTheLastAcceptedType) {
    connect();
    app->lastAcceptedActionTypes = {"trackState"};
    app->recentAcceptedActions = {app->now(), app->now()};
    auto planId = install({undoStep});
    message({{"type", "executePlan"}, {"planId", planId}});
    ASSERT_TRUE(waitEvent("planExecutionResult"));
    EXPECT_EQ(web.named("planExecutionResult")[0]["undoAvailable"], false);
    EXPECT_EQ(app->lastAcceptedActionTypes, std::vector<std::string>{"trackState"});
    EXPECT_EQ(app->recentAcceptedActions.size(), 1u);
}

TEST_F(AppTest, RecentActionsKeepTwentyAndAgeOutAfterTenMinutes) {
    connect();
    for (int run = 0; run < 3; ++run) {
        auto planId = install(std::vector<json>(7, muteStep));
        message({{"type", "executePlan"}, {"planId", planId}});
        ASSERT_TRUE(waitEvent("planExecutionResult", static_cast<std::size_t>(run + 1)));
        poll();
    }
    EXPECT_EQ(app->recentAcceptedActions.size(), 20u);
    advance(601s);
    poll();
    app->preparePlan("mute la piste 1");
    EXPECT_TRUE(app->recentAcceptedActions.empty());
}

TEST_F(AppTest, TheRunOwnsItsPromptsAndAPlanPreparedMeanwhileSurvives) {
    connect();
    fake.queue("/v1/clips/midi",
               Reply{200, json{{"ok", true}, {"result", {{"revision", 8}, {"undoAvailable", true}}}}.dump(),
                     "application/json", 300ms});
    auto planId = install({{{"command", "clips.create-midi"}, {"trackIndex", 0}, {"startTime", 0}, {"length", 16}}},
                          "crée une bassline en fa mineur");
    message({{"type", "executePlan"}, {"planId", planId}});
    // While the step runs, the producer asks for something else.
    auto later = install({muteStep}, "mute");
    ASSERT_TRUE(waitEvent("planExecutionResult"));
    EXPECT_EQ(app->lastCompletedMidiPrompt, "crée une bassline en fa mineur");
    ASSERT_TRUE(app->pendingPlan);
    EXPECT_EQ(app->pendingPlan->planId, later);
    ASSERT_EQ(app->chatHistory.size(), 2u);
    EXPECT_EQ(app->chatHistory[0].content, "crée une bassline en fa mineur");
}

TEST_F(AppTest, AResetDuringARunKeepsTheRunGuard) {
    connect();
    fake.queue("/v1/tracks/state",
               Reply{200, json{{"ok", true}, {"result", {{"revision", 8}, {"undoAvailable", true}}}}.dump(),
                     "application/json", 300ms});
    auto planId = install({muteStep});
    message({{"type", "executePlan"}, {"planId", planId}});
    app->resetConversationSession("projectChanged");
    EXPECT_TRUE(app->planExecutionInFlight);
    message({{"type", "undo"}});
    EXPECT_EQ(web.named("undoResult").back()["message"], "Une action est déjà en cours dans Ableton.");
    ASSERT_TRUE(waitEvent("planExecutionResult"));
    EXPECT_FALSE(app->planExecutionInFlight);
    EXPECT_TRUE(fake.requestsTo("/v1/undo").empty());
}

TEST_F(AppTest, ALaterPrepareWinsOverAnEarlierPrecheck) {
    connect();
    fake.queue("/v1/arrangement/plan", Reply{200, R"({"ok":true,"result":{}})", "application/json", 400ms});
    app->preparePlan("arrangement club complet");
    app->preparePlan("mute la piste 1");
    ASSERT_TRUE(waitEvent("planResult"));
    pump([] { return false; }, 600ms);
    ASSERT_EQ(web.named("planResult").size(), 1u);
    ASSERT_TRUE(app->pendingPlan);
    EXPECT_EQ(app->pendingPlanPrompt, "mute la piste 1");
}

TEST_F(AppTest, ConfirmationChecksInOrder) {
    connect();
    // No such plan and nothing to rebuild from.
    message({{"type", "executePlan"}, {"planId", "unknown"}});
    EXPECT_EQ(web.named("planExecutionResult").back()["message"],
              "Ce plan n’est plus actif. Relance la demande pour en préparer un nouveau.");
    // A stale mirror cancels before anything else.
    auto planId = install({muteStep});
    advance(11s);
    message({{"type", "executePlan"}, {"planId", planId}});
    EXPECT_EQ(web.named("planExecutionResult").back()["message"],
              "Le contexte Ableton n’est plus synchronisé. L’action est annulée avant toute modification.");
    EXPECT_FALSE(app->pendingPlan);
    EXPECT_TRUE(fake.requestsTo("/v1/tracks/state").empty());
}

// ---- Undo ---------------------------------------------------------------------------

TEST_F(AppTest, DirectUndoForgetsTypesAndTheNewestRecentAction) {
    connect();
    app->lastAcceptedActionTypes = {"trackState", "createMidiClip"};
    app->recentAcceptedActions = {app->now(), app->now()};
    message({{"type", "undo"}});
    message({{"type", "undo"}});
    ASSERT_TRUE(waitEvent("undoResult", 2));
    EXPECT_EQ(fake.requestsTo("/v1/undo").size(), 1u);
    EXPECT_EQ(web.named("undoResult")[0]["ok"], false);
    EXPECT_EQ(web.named("undoResult")[1]["ok"], true);
    EXPECT_TRUE(app->lastAcceptedActionTypes.empty());
    EXPECT_EQ(app->recentAcceptedActions.size(), 1u);
    auto signals = app->preferenceStore.snapshot().signals;
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[0].outcome, VantorelPreferenceOutcome::undone);
}

TEST_F(AppTest, UndoWithoutBridgeAnswers) {
    message({{"type", "undo"}});
    ASSERT_EQ(web.named("undoResult").size(), 1u);
    EXPECT_EQ(web.named("undoResult")[0]["message"], "Ableton n’est pas connecté.");
}

TEST_F(AppTest, LiveRestartEmptiesTheUndoRecords) {
    connect();
    app->lastAcceptedActionTypes = {"trackState"};
    app->recentAcceptedActions = {app->now()};
    app->abletonTerminated();
    EXPECT_TRUE(app->lastAcceptedActionTypes.empty());
    EXPECT_TRUE(app->recentAcceptedActions.empty());
    EXPECT_EQ(web.named("sessionReset").back()["reason"], "abletonClosed");
}

// ---- Router ----------------------------------------------------------------------------

TEST_F(AppTest, MidiRequestsTakeAReliableKeyOfASavedSetOrImproveTheOpenClip) {
    struct Row {
        const char* project;
        std::optional<DetectedKey> key;
        std::string prompt;
        std::optional<std::string> planned;  // nothing: the key is asked for
    };
    const Row rows[] = {
        {"Club Loop", DetectedKey{"F♯ minor", 0.8, "Club Loop"}, "crée une bassline",
         "crée une bassline · tonalité F# minor"},
        {"Live Set sans nom", DetectedKey{"A minor", 0.9, "Live Set sans nom"}, "crée une bassline", std::nullopt},
        {"Club Loop", std::nullopt, "rends-la plus groovy", "Améliore le clip MIDI sélectionné. rends-la plus groovy"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prompt);
        fake.setProject(row.project);
        connect();
        app->lastDetectedKey = row.key;
        app->pendingActionClarification.reset();
        const std::size_t before = web.named("planResult").size();
        message({{"type", "assistantRequest"}, {"prompt", row.prompt}});
        auto plans = web.named("planResult");
        std::optional<std::string> planned;
        if (plans.size() > before) planned = plans.back()["prompt"];
        EXPECT_EQ(planned, row.planned);
        EXPECT_EQ(app->pendingActionClarification.has_value(), !row.planned);
        if (row.planned) {
            EXPECT_EQ(app->pendingPlanConversationPrompt, row.prompt);
        }
    }
}

TEST_F(AppTest, OnlyAnOnboardingAnswerEndsThePanelWaitWithOnboardingState) {
    connect();
    message({{"type", "executePlan"}, {"planId", 3}});  // mistyped: no effect but the wait
    EXPECT_TRUE(app->preservePanelVisibilityUntilResponse);
    poll();
    EXPECT_TRUE(app->preservePanelVisibilityUntilResponse);
    app->send("planResult", json{{"ok", false}});
    EXPECT_FALSE(app->preservePanelVisibilityUntilResponse);
}

TEST_F(AppTest, UnsavedSetsLeaveNothingOnDiskAndStartEachSessionAfresh) {
    fake.setProject("Live Set sans nom");
    connect();
    ASSERT_TRUE(app->currentLifecycle);
    message({{"type", "validateProjectStage"}, {"stage", 3}});
    ASSERT_FALSE(web.named("onboardingState").empty());
    EXPECT_EQ(web.named("onboardingState").back()["validatedStage"], 3);
    app->resetConversationSession("abletonRestarted");
    poll();
    EXPECT_TRUE(web.named("onboardingState").back()["validatedStage"].is_null()) << "the next sketch starts afresh";
    // The saved set's records are written once the writer has run.
    fake.setProject("Club Loop");
    poll();
    message({{"type", "validateProjectStage"}, {"stage", 2}});
    app.reset();
    json written = json::parse(vantorel::testing::readText(home.appData() / "project-lifecycle.json"));
    EXPECT_TRUE(written["projects"].contains("club loop"));
    EXPECT_FALSE(written["projects"].contains("live set sans nom"));
    json onboarding = json::parse(vantorel::testing::readText(home.appData() / "producer-onboarding.json"));
    EXPECT_TRUE(onboarding["projects"].contains("club loop"));
    EXPECT_FALSE(onboarding["projects"].contains("live set sans nom"));
}

TEST_F(AppTest, SelectedMidiClipNeedsTheSelectedTrackToBeMidi) {
    fake.setAnalysis({{"tracks", json::array({json{{"index", 0}, {"selected", true}, {"isMidiTrack", false}},
                                             json{{"index", 1},
                                                  {"isMidiTrack", true},
                                                  {"clipDetails", json::array({{{"type", "midi"}, {"selected", true}}})}}})}});
    connect();
    EXPECT_FALSE(app->hasOpenSelectedMidiClip());
}

}  // namespace
}  // namespace vantorel
