// `vantorel-cli controller` against the bridge simulator: the page's view of
// a session, from start to undo.
#include "support/cli_runner.h"
#include "support/controller_session.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using nlohmann::json;
using vantorel::testing::ControllerSession;
using namespace std::chrono_literals;

namespace {

class ControllerEndToEnd : public vantorel::testing::CliTest {
protected:
    // The session is connected and the first poll has been seen.
    ControllerSession& connected(const std::string& set = "club-loop.json") {
        session = std::make_unique<ControllerSession>(home, set);
        session->startController();
        EXPECT_TRUE(session->waitEvent("contextStatus"));
        return *session;
    }

    std::optional<json> planFor(const std::string& prompt) {
        session->send({{"type", "planRequest"}, {"prompt", prompt}});
        return session->waitEvent("planResult");
    }

    std::unique_ptr<ControllerSession> session;
};

const json* trackNamed(const json& context, const std::string& name) {
    for (const auto& track : context["result"]["projectAnalysis"]["tracks"]) {
        if (track.value("name", "") == name) return &track;
    }
    return nullptr;
}

// Every file under the folder, by its path inside it.
std::set<std::string> filesUnder(const std::filesystem::path& folder) {
    std::set<std::string> found;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file()) found.insert(std::filesystem::relative(it->path(), folder).string());
    }
    return found;
}

TEST_F(ControllerEndToEnd, StartThenPollsThenReadyFeedsThePage) {
    session = std::make_unique<ControllerSession>(home);
    session->startController();
    ASSERT_TRUE(session->waitEvent("contextStatus"));
    // The 2 s poll repeats the mirror events.
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(session->waitEvent("contextStatus", 5s));
    EXPECT_GT(std::chrono::steady_clock::now() - started, 1500ms);
    EXPECT_EQ(ControllerSession::eventNames(session->all()),
              (std::vector<std::string>{"setupStatus", "setupStatus", "lifecycle", "projectIdentity", "session",
                                        "onboardingState", "contextStatus", "lifecycle", "projectIdentity", "session",
                                        "onboardingState", "contextStatus"}));

    session->skipAll();
    session->send({{"type", "ready"}});
    auto setup = session->waitEvent("setupStatus");
    ASSERT_TRUE(setup);
    EXPECT_EQ((*setup)["abletonRunning"], true);
    EXPECT_EQ((*setup)["readyForAbletonSetup"], true);
    auto index = session->waitEvent("projectIndex", 2s);
    ASSERT_TRUE(index);
    EXPECT_EQ((*index)["indexed"], false);
    EXPECT_TRUE(session->waitEvent("preferenceProfile", 2s));
}

TEST_F(ControllerEndToEnd, KeyQuestionThenAnswerGivesAPlanAndAnAnswerWithoutKeyIsRefusedOnce) {
    auto& s = connected();
    s.send({{"type", "assistantRequest"}, {"prompt", "crée une bassline"}});
    auto question = s.waitEvent("chatResult");
    ASSERT_TRUE(question);
    EXPECT_EQ((*question)["source"], "local");
    EXPECT_NE((*question)["answer"].get<std::string>().find("F minor"), std::string::npos);

    s.send({{"type", "assistantRequest"}, {"prompt", "F minor"}});
    auto plan = s.waitEvent("planResult");
    ASSERT_TRUE(plan);
    EXPECT_EQ((*plan)["ok"], true) << plan->dump();

    s.send({{"type", "assistantRequest"}, {"prompt", "crée une bassline"}});
    ASSERT_TRUE(s.waitEvent("chatResult"));
    s.send({{"type", "assistantRequest"}, {"prompt", "je ne sais pas"}});
    auto refusal = s.waitEvent("chatResult");
    ASSERT_TRUE(refusal);
    EXPECT_NE((*refusal)["answer"].get<std::string>().find("pas trouvé de tonalité"), std::string::npos);
    // The question is no longer pending: the same reply now goes elsewhere.
    s.send({{"type", "assistantRequest"}, {"prompt", "crée une bassline"}});
    auto again = s.waitEvent("chatResult");
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *question);
}

TEST_F(ControllerEndToEnd, BasslinePlanRunsStepByStepAndUndoTakesTheClipBack) {
    auto& s = connected();
    auto plan = planFor("crée une bassline en fa mineur");
    ASSERT_TRUE(plan && (*plan)["ok"] == true) << (plan ? plan->dump() : "");
    const std::string planId = (*plan)["plan"]["planId"];
    const auto total = (*plan)["plan"]["actions"].size();
    ASSERT_EQ(total, 2u);
    const auto revision = (*plan)["plan"]["expectedRevision"].get<long long>();

    s.skipAll();
    s.send({{"type", "executePlan"}, {"planId", planId}});
    auto result = s.waitEvent("planExecutionResult", 30s);
    ASSERT_TRUE(result);
    EXPECT_EQ((*result)["ok"], true) << result->dump();
    EXPECT_EQ((*result)["completed"], 2);
    EXPECT_EQ((*result)["undoAvailable"], true);
    EXPECT_TRUE(s.waitEvent("setupStatus", 2s));

    // Both steps were accepted: the second carried the first one's revision
    // (the plan's own would have been refused as stale).
    json context = s.bridge("GET", "/v1/context");
    EXPECT_EQ(context["result"]["session"]["revision"].get<long long>(), revision + 2);
    const json* bass = trackNamed(context, "Vantorel Bass");
    ASSERT_NE(bass, nullptr);
    EXPECT_EQ(bass->value("clips", -1), 1);

    s.skipAll();
    s.send({{"type", "undo"}});
    auto undo = s.waitEvent("undoResult", 20s);
    ASSERT_TRUE(undo);
    EXPECT_EQ((*undo)["ok"], true) << undo->dump();
    context = s.bridge("GET", "/v1/context");
    bass = trackNamed(context, "Vantorel Bass");
    ASSERT_NE(bass, nullptr);
    EXPECT_EQ(bass->value("clips", -1), 0);
}

TEST_F(ControllerEndToEnd, DoubleUndoSendsOneBridgeUndoAndDeclineAnswers) {
    auto& s = connected();
    auto plan = planFor("mute la piste 1");
    ASSERT_TRUE(plan && (*plan)["ok"] == true) << (plan ? plan->dump() : "");
    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    auto done = s.waitEvent("planExecutionResult", 20s);
    ASSERT_TRUE(done && (*done)["ok"] == true);

    s.skipAll();
    s.send({{"type", "undo"}});
    s.send({{"type", "undo"}});
    auto first = s.waitEvent("undoResult", 20s);
    auto second = s.waitEvent("undoResult", 20s);
    ASSERT_TRUE(first && second);
    // The refusal answers at once, before the bridge's undo comes back.
    EXPECT_EQ((*first)["ok"], false);
    EXPECT_EQ((*first)["message"], "Une action est déjà en cours dans Ableton.");
    EXPECT_EQ((*second)["ok"], true);

    auto declined = planFor("mute la piste 1");
    ASSERT_TRUE(declined && (*declined)["ok"] == true);
    s.send({{"type", "declinePlan"}, {"planId", (*declined)["plan"]["planId"]}, {"reason", "pas maintenant"}});
    auto profile = s.waitEvent("preferenceProfile");
    ASSERT_TRUE(profile);
    auto answer = s.waitEvent("planDeclined");
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["message"], "Refus explicite enregistré localement.");
}

TEST_F(ControllerEndToEnd, EditAfterPlanningRebuildsThePlan) {
    auto& s = connected();
    auto plan = planFor("mute la piste 1");
    ASSERT_TRUE(plan && (*plan)["ok"] == true);
    s.bridge("POST", "/v1/sim/edit", {{"action", "rename"}, {"trackIndex", 1}, {"name", "Renommée"}});
    // Wait for a poll that carries the new revision.
    const auto planned = (*plan)["plan"]["expectedRevision"].get<long long>();
    ASSERT_TRUE(s.waitFor([&](const json& line) {
        return line.value("event", "") == "contextStatus" && line["value"]["revision"].get<long long>() > planned;
    }));
    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    auto notice = s.waitEvent("planRefreshNotice");
    ASSERT_TRUE(notice);
    auto rebuilt = s.waitEvent("planResult");
    ASSERT_TRUE(rebuilt && (*rebuilt)["ok"] == true);
    EXPECT_GT((*rebuilt)["plan"]["expectedRevision"].get<long long>(), planned);
}

TEST_F(ControllerEndToEnd, LiveKilledInASlowStepFailsTheRunThenComesBack) {
    auto& s = connected();
    auto plan = planFor("mute la piste 1");
    ASSERT_TRUE(plan && (*plan)["ok"] == true) << (plan ? plan->dump() : "");
    s.bridge("POST", "/v1/sim/delay", {{"path", "/v1/tracks/state"}, {"seconds", 10}, {"times", 1}});
    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    ASSERT_TRUE(s.waitEvent("planProgress"));
    std::this_thread::sleep_for(500ms);  // the step is held by Live
    s.skipAll();
    const int port = s.live().port();
    s.live().kill();  // its /proc entry vanishes with it
    auto reset = s.waitEvent("sessionReset", 10s);
    ASSERT_TRUE(reset);
    EXPECT_EQ((*reset)["reason"], "abletonClosed");
    auto invalidated = s.waitEvent("contextInvalidated", 2s);
    auto connection = s.waitEvent("connection", 2s);
    ASSERT_TRUE(invalidated && connection);
    EXPECT_EQ((*connection)["connected"], false);
    EXPECT_EQ((*connection)["abletonRunning"], false);
    EXPECT_EQ((*connection)["message"], (*invalidated)["message"]);
    // The run ended on the lost connection, before or after Live was seen gone.
    std::optional<json> failed;
    for (const auto& line : s.all())
        if (line.value("event", "") == "planExecutionResult") failed = line["value"];
    if (!failed) failed = s.waitEvent("planExecutionResult", 5s);
    ASSERT_TRUE(failed);
    EXPECT_EQ((*failed)["ok"], false);
    EXPECT_EQ((*failed)["completed"], 0);
    EXPECT_EQ((*failed)["undoAvailable"], false);
    // The run let go of its guard: an undo is refused for the connection, not
    // for an action in progress.
    s.send({{"type", "undo"}});
    auto undo = s.waitEvent("undoResult");
    ASSERT_TRUE(undo);
    EXPECT_EQ((*undo)["message"], "Ableton n’est pas connecté.");

    s.live().start(port);
    auto restarted = s.waitEvent("sessionReset", 10s);
    ASSERT_TRUE(restarted);
    EXPECT_EQ((*restarted)["reason"], "abletonRestarted");
    const auto seenAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.waitEvent("session", 10s));
    EXPECT_GT(std::chrono::steady_clock::now() - seenAt, 1500ms);
}

TEST_F(ControllerEndToEnd, JunkLinesDoNothingAndEndOfInputExitsCleanly) {
    auto& s = connected();
    s.skipAll();
    for (const char* junk : {"not json", "[1,2]", "{\"type\":3}", "{\"kind\":\"ready\"}", "{\"type\":\"nope\"}",
                             "{\"type\":\"executePlan\"}", "{\"type\":\"openProject\",\"path\":7}"}) {
        s.sendRaw(junk);
    }
    s.sendRaw(std::string(600, '[') + std::string(600, ']'));
    auto lines = s.collect(500ms);
    for (const auto& line : lines) {
        if (line.contains("platform")) continue;  // the panel kept in front for an awaited answer
        std::string name = line.value("event", "");
        // Only the periodic poll may speak meanwhile.
        EXPECT_TRUE(name == "lifecycle" || name == "projectIdentity" || name == "session" ||
                    name == "onboardingState" || name == "contextStatus")
            << line.dump();
    }
    s.closeInput();
    EXPECT_EQ(s.waitExit(10s), 0);
}

TEST_F(ControllerEndToEnd, LiveAbsentAtStartIsRetriedUntilItComes) {
    session = std::make_unique<ControllerSession>(home);
    auto& s = *session;
    const int port = s.live().port();
    s.live().kill();
    s.startController();
    auto setup = s.waitEvent("setupStatus");
    ASSERT_TRUE(setup);
    EXPECT_EQ((*setup)["abletonRunning"], false);
    auto invalidated = s.waitEvent("contextInvalidated");
    auto first = s.waitEvent("connection");
    ASSERT_TRUE(invalidated && first);
    EXPECT_EQ((*first)["connected"], false);
    EXPECT_EQ((*first)["abletonRunning"], false);
    EXPECT_EQ((*first)["message"], (*invalidated)["message"]);
    // The next attempt waits its 2.5 s, then fails the same way.
    auto failedAt = std::chrono::steady_clock::now();
    auto second = s.waitEvent("connection", 10s);
    ASSERT_TRUE(second);
    EXPECT_GT(std::chrono::steady_clock::now() - failedAt, 1800ms);
    EXPECT_EQ((*second)["connected"], false);

    s.live().start(port);
    auto mirrored = s.waitEvent("session", 20s);
    ASSERT_TRUE(mirrored);
    EXPECT_EQ((*mirrored)["project"], "Club Loop");
}

TEST_F(ControllerEndToEnd, ARefusedSecondStepKeepsTheFirstAndUndoTakesItBack) {
    auto& s = connected();
    auto plan = planFor("crée une bassline en fa mineur");
    ASSERT_TRUE(plan && (*plan)["ok"] == true) << (plan ? plan->dump() : "");
    ASSERT_EQ((*plan)["plan"]["actions"].size(), 2u);
    ASSERT_EQ((*plan)["plan"]["actions"][1]["command"], "clips.create-midi");
    s.bridge("POST", "/v1/sim/fail-next",
             {{"path", "/v1/clips/midi"}, {"status", 409}, {"code", "CLIP_OVERLAP"}, {"message", "Clip refusé."}});

    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    auto result = s.waitEvent("planExecutionResult", 30s);
    ASSERT_TRUE(result);
    EXPECT_EQ((*result)["ok"], false);
    EXPECT_EQ((*result)["completed"], 1);
    EXPECT_EQ((*result)["total"], 2);
    EXPECT_EQ((*result)["undoAvailable"], true);
    EXPECT_NE((*result)["message"].get<std::string>().find("Clip refusé."), std::string::npos) << result->dump();
    json context = s.bridge("GET", "/v1/context");
    const json* bass = trackNamed(context, "Vantorel Bass");
    ASSERT_NE(bass, nullptr);
    EXPECT_EQ(bass->value("clips", -1), 0);

    s.send({{"type", "undo"}});
    auto undo = s.waitEvent("undoResult", 20s);
    ASSERT_TRUE(undo);
    EXPECT_EQ((*undo)["ok"], true) << undo->dump();
    EXPECT_EQ(trackNamed(s.bridge("GET", "/v1/context"), "Vantorel Bass"), nullptr);
}

TEST_F(ControllerEndToEnd, AnotherProjectDropsThePendingPlanAndAnOpenMidiClipIsEvolved) {
    auto& s = connected();
    auto plan = planFor("mute la piste sélectionnée");
    ASSERT_TRUE(plan && (*plan)["ok"] == true);
    s.skipAll();
    s.bridge("POST", "/v1/sim/edit", {{"action", "renameProject"}, {"name", "Nuit Blanche"}});
    auto reset = s.waitEvent("sessionReset");
    ASSERT_TRUE(reset);
    EXPECT_EQ((*reset)["reason"], "projectChanged");
    ASSERT_TRUE(s.waitEvent("contextStatus"));
    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    auto refused = s.waitEvent("planExecutionResult");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["ok"], false);
    EXPECT_EQ((*refused)["message"], "Ce plan n’est plus actif. Relance la demande pour en préparer un nouveau.");
    json context = s.bridge("GET", "/v1/context");
    ASSERT_NE(trackNamed(context, "Bass"), nullptr);
    EXPECT_EQ(trackNamed(context, "Bass")->value("muted", true), false);

    // The bass clip open in Live: a follow-up reworks it rather than asking.
    ASSERT_TRUE(s.editAndSync({{"action", "selectClip"}, {"trackIndex", 4}, {"sceneIndex", 0}}));
    s.send({{"type", "assistantRequest"}, {"prompt", "rends-la plus groovy"}});
    auto evolve = s.waitEvent("planResult");
    ASSERT_TRUE(evolve && (*evolve)["ok"] == true) << (evolve ? evolve->dump() : "");
    ASSERT_EQ((*evolve)["plan"]["actions"].size(), 1u);
    const json& action = (*evolve)["plan"]["actions"][0];
    EXPECT_EQ(action["command"], "clips.replace-midi");
    EXPECT_EQ(action["trackIndex"], 4);
    EXPECT_FALSE(action.contains("notes"));
    s.send({{"type", "executePlan"}, {"planId", (*evolve)["plan"]["planId"]}});
    auto evolved = s.waitEvent("planExecutionResult", 30s);
    ASSERT_TRUE(evolved);
    EXPECT_EQ((*evolved)["ok"], true) << evolved->dump();
}

TEST_F(ControllerEndToEnd, AnUnsavedSetLeavesNoFileAndEndOfInputWaitsForTheRun) {
    auto& s = connected("unsaved.json");
    const auto before = filesUnder(home.appData());
    ASSERT_TRUE(s.waitEvent("contextStatus", 5s));
    // Live's own name for a new set, even with stray spaces, is no project.
    ASSERT_TRUE(s.editAndSync({{"action", "renameProject"}, {"name", " Live Set sans nom  "}}));
    ASSERT_TRUE(s.waitEvent("contextStatus", 5s));
    EXPECT_EQ(filesUnder(home.appData()), before);

    // A saved set does leave its history there: the check above can see one.
    s.bridge("POST", "/v1/sim/edit", {{"action", "loadSet"}, {"path", "club-loop.json"}});
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (filesUnder(home.appData()) == before && std::chrono::steady_clock::now() < deadline)
        s.waitEvent("contextStatus", 3s);
    EXPECT_NE(filesUnder(home.appData()), before);

    auto plan = planFor("mute la piste sélectionnée");
    ASSERT_TRUE(plan && (*plan)["ok"] == true) << (plan ? plan->dump() : "");
    s.bridge("POST", "/v1/sim/delay", {{"path", "/v1/tracks/state"}, {"seconds", 2}, {"times", 1}});
    s.skipAll();
    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    s.closeInput();
    EXPECT_EQ(s.waitExit(30s), 0);
    auto result = s.waitEvent("planExecutionResult", 1s);
    ASSERT_TRUE(result);
    EXPECT_EQ((*result)["ok"], true) << result->dump();
    json context = s.bridge("GET", "/v1/context");
    ASSERT_NE(trackNamed(context, "Bass"), nullptr);
    EXPECT_EQ(trackNamed(context, "Bass")->value("muted", false), true);
}

}  // namespace
