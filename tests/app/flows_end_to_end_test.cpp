// The controller's flows through `vantorel-cli controller` on the bridge
// simulator: key detection, listening, master capture, the agent, the
// project index and onboarding, each seen as the page sees it.
#include "agent/agent_test_support.h"
#include "project/als_project_index_store.h"
#include "project/als_project_scanner.h"
#include "project/live_set_fixture.h"
#include "support/cli_runner.h"
#include "support/controller_session.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

using nlohmann::json;
using vantorel::testing::ControllerSession;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class FlowsEndToEnd : public vantorel::testing::CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        fs::create_directories(agents);
    }

    // Connected with `agents` as the only place to look for agents.
    ControllerSession& connected(const std::string& set = "club-loop.json", std::vector<std::string> simulator = {}) {
        session = std::make_unique<ControllerSession>(home, set, std::move(simulator));
        session->startController({"--agent-folder", agents.string()});
        EXPECT_TRUE(session->waitEvent("contextStatus"));
        return *session;
    }

    // Sends a page message and waits for its answer event.
    std::optional<json> ask(const json& message, const std::string& answer, std::chrono::milliseconds timeout = 30s) {
        session->send(message);
        return session->waitEvent(answer, timeout);
    }

    // A Codex that answers `answer` in conversation th-N, N counting its runs;
    // with `release`, only once that file exists (30 s at most).
    void fakeCodex(const std::string& answer, const fs::path& release = {}) {
        const std::string runs = (agents / "runs").string();
        const std::string wait = release.empty() ? "" : "i=0; while [ ! -e '" + release.string() +
                                                            "' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n";
        vantorel::testing::writeFakeAgent(
            agents, "codex",
            std::string(vantorel::testing::kWriteCodexAnswer) + wait + "n=$(cat '" + runs + "' 2>/dev/null || echo 0); n=$((n+1)); echo $n > '" +
                runs + "'\nprintf '%s' '" + answer + "' > \"$out\"\n" +
                "echo \"{\\\"type\\\":\\\"thread.started\\\",\\\"thread_id\\\":\\\"th-$n\\\"}\"\n");
    }

    std::vector<std::string> codexArguments() const { return vantorel::testing::recordedArguments(agents, "codex"); }

    const fs::path agents = home.root() / "agents";
    std::unique_ptr<ControllerSession> session;
};

bool has(const std::vector<std::string>& values, const std::string& value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

std::string text(const std::optional<json>& value, const char* key) {
    return value && value->contains(key) && (*value)[key].is_string() ? (*value)[key].get<std::string>() : "";
}

TEST_F(FlowsEndToEnd, KeyAndLevelOfTheSelectedClipReachTheAgentsPromptAndNoneWithoutAClip) {
    fakeCodex("Le vocal est bien placé.");
    auto& s = connected();
    auto synced = s.editAndSync({{"action", "selectClip"}, {"trackIndex", 6}, {"sceneIndex", 0}});
    ASSERT_TRUE(synced);
    auto audio = ask({{"type", "findKey"}}, "keyResult", 60s);
    ASSERT_TRUE(audio);
    EXPECT_EQ((*audio)["ok"], true) << audio->dump();
    EXPECT_EQ((*audio)["kind"], "audio");
    EXPECT_EQ((*audio)["track"], "Vocal Chop");
    EXPECT_EQ((*audio)["clip"], "Vox Chop Fm");

    s.send({{"type", "listenSelectedClip"}});
    auto progress = s.waitEvent("audioProgress");
    ASSERT_TRUE(progress);
    EXPECT_EQ((*progress)["active"], true);
    auto result = s.waitEvent("audioResult", 60s);
    ASSERT_TRUE(result);
    ASSERT_EQ((*result)["ok"], true) << result->dump();
    const json& measurement = (*result)["measurement"];
    EXPECT_EQ(measurement["track"], "Vocal Chop");
    EXPECT_EQ(measurement["clip"], "Vox Chop Fm");
    EXPECT_EQ(measurement["project"], "Club Loop");
    EXPECT_GE(measurement["revision"].get<long long>(), (*synced)["revision"].get<long long>());
    ASSERT_TRUE(measurement.contains("rmsDbFS"));
    auto answer = ask({{"type", "chatRequest"}, {"question", "que penses-tu du niveau du vocal ?"}}, "chatResult", 60s);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["source"], "codex") << answer->dump();
    const std::string prompt = vantorel::testing::readText(agents / "codex.stdin");
    EXPECT_NE(prompt.find("\"audioMeasurement\":{"), std::string::npos);
    EXPECT_NE(prompt.find("\"rmsDbFS\":" + measurement["rmsDbFS"].dump()), std::string::npos);

    ASSERT_TRUE(s.editAndSync({{"action", "selectClip"}, {"trackIndex", 4}, {"sceneIndex", 0}}));
    auto midi = ask({{"type", "findKey"}}, "keyResult");
    ASSERT_TRUE(midi);
    EXPECT_EQ((*midi)["kind"], "midi");
    EXPECT_EQ((*midi)["clip"], "Rolling Bass Fm");
    EXPECT_EQ((*midi)["key"], "F minor") << midi->dump();
    // Asked in words, the key is answered locally; a bassline asked for next
    // is written in it instead of asking which key.
    auto named = ask({{"type", "assistantRequest"}, {"prompt", "quelle est la tonalité de ce clip ?"}}, "chatResult");
    ASSERT_TRUE(named);
    EXPECT_EQ((*named)["source"], "local-key-analysis") << named->dump();
    EXPECT_NE(text(named, "answer").find("F minor"), std::string::npos);
    auto bass = ask({{"type", "assistantRequest"}, {"prompt", "crée une bassline"}}, "planResult");
    ASSERT_TRUE(bass && (*bass)["ok"] == true) << (bass ? bass->dump() : "");
    EXPECT_NE((*bass)["plan"].dump().find("F minor"), std::string::npos) << bass->dump();
    // The open clip deleted: nothing left to read.
    ASSERT_TRUE(s.editAndSync({{"action", "removeClip"}, {"trackIndex", 4}, {"sceneIndex", 0}}));
    auto none = ask({{"type", "findKey"}}, "keyResult");
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, (json{{"ok", false},
                           {"message", "Aucun clip n’est sélectionné dans Live. Sélectionne d’abord un clip audio ou MIDI."}}));
}

TEST_F(FlowsEndToEnd, ListeningToTheMasterCapturesTwoBarsButNeverWhilePlaying) {
    auto& s = connected("club-loop.json", {"--capture-speed", "8"});
    s.bridge("POST", "/v1/sim/edit", {{"action", "stop"}});
    auto plan = ask({{"type", "planRequest"}, {"prompt", "écoute le master sur 2 mesures"}}, "planResult");
    ASSERT_TRUE(plan && (*plan)["ok"] == true) << (plan ? plan->dump() : "");
    ASSERT_EQ((*plan)["plan"]["actions"].size(), 1u);
    EXPECT_EQ((*plan)["plan"]["actions"][0]["command"], "audio.listen-master");

    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    ASSERT_TRUE(s.waitEvent("masterCaptureProgress", 30s));
    auto audio = s.waitEvent("audioResult", 60s);
    ASSERT_TRUE(audio);
    ASSERT_EQ((*audio)["ok"], true) << audio->dump();
    EXPECT_EQ((*audio)["measurement"]["captureBars"], 2);
    EXPECT_EQ((*audio)["measurement"]["temporaryTrackRemoved"], true);
    auto done = s.waitEvent("planExecutionResult", 30s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true) << done->dump();
    const json context = s.bridge("GET", "/v1/context");
    for (const auto& track : context["result"]["projectAnalysis"]["tracks"])
        EXPECT_EQ(track.value("temporary", false), false) << track.dump();
    // The capture added and removed its own track: nothing of it to undo.
    auto undo = ask({{"type", "planRequest"}, {"prompt", "annule tout depuis 10 minutes"}}, "planResult");
    ASSERT_TRUE(undo);
    EXPECT_EQ((*undo)["ok"], false) << undo->dump();

    // Playing: the bridge refuses the start, and with no job there is nothing
    // to cancel (a reply queued for a cancel stays queued).
    s.bridge("POST", "/v1/sim/edit", {{"action", "play"}});
    ASSERT_TRUE(s.waitEventWhere("session", [](const json& v) { return v.value("isPlaying", false); }));
    json queued = {{"path", "/v1/master-capture/cancel"}, {"status", 500}, {"code", "X"}, {"message", "x"}};
    ASSERT_EQ(s.bridge("POST", "/v1/sim/fail-next", queued)["result"]["pending"], 1);
    auto again = ask({{"type", "planRequest"}, {"prompt", "écoute le master sur 2 mesures"}}, "planResult");
    ASSERT_TRUE(again && (*again)["ok"] == true);
    s.skipAll();
    s.send({{"type", "executePlan"}, {"planId", (*again)["plan"]["planId"]}});
    auto refused = s.waitEvent("planExecutionResult", 30s);
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["ok"], false);
    EXPECT_EQ((*refused)["completed"], 0);
    EXPECT_EQ((*refused)["message"], "Arrête la lecture dans Live avant de capturer le master.");
    EXPECT_EQ(s.bridge("POST", "/v1/sim/fail-next", queued)["result"]["pending"], 2);
    auto names = ControllerSession::eventNames(s.all());
    EXPECT_EQ(std::count(names.begin(), names.end(), "audioResult"), 1);
}

TEST_F(FlowsEndToEnd, TheAgentsConversationFollowsTheSetThenTheRemotePlannerStandsIn) {
    fakeCodex("Allonge la structure.");
    auto& s = connected();
    auto first = ask({{"type", "chatRequest"}, {"question", "que penses-tu de mon arrangement ?"}}, "chatResult", 60s);
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["source"], "codex") << first->dump();
    EXPECT_NE(text(first, "answer").find("Allonge la structure."), std::string::npos);
    EXPECT_TRUE((*first)["visual"].is_object());
    EXPECT_FALSE(has(codexArguments(), "resume"));
    auto second = ask({{"type", "chatRequest"}, {"question", "et le kick ?"}}, "chatResult", 60s);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)["source"], "codex");
    auto resumed = codexArguments();
    EXPECT_TRUE(has(resumed, "resume") && has(resumed, "th-1"));
    EXPECT_NE(vantorel::testing::readText(agents / "codex.stdin").find("que penses-tu de mon arrangement"),
              std::string::npos);

    // Live frozen past the ten seconds the mirror is trusted: refused, no agent run.
    s.live().signal(SIGSTOP);
    std::this_thread::sleep_for(11s);
    auto stale = ask({{"type", "chatRequest"}, {"question", "que faire de cette piste ?"}}, "chatResult");
    s.live().signal(SIGCONT);
    ASSERT_TRUE(stale);
    EXPECT_EQ(*stale, (json{{"ok", false},
                            {"message", "Je n’ai pas encore un contexte Ableton fiable. J’attends la resynchronisation "
                                        "au lieu d’inventer une réponse sur le mauvais projet."}}));
    EXPECT_EQ(vantorel::testing::readText(agents / "runs"), "2\n");
    ASSERT_TRUE(s.waitEvent("contextStatus", 30s));

    // The set renamed while the agent works: its answer is shown, neither kept nor planned.
    const fs::path release = agents / "release";
    fakeCodex("VANTOREL_ACTION: mute la piste sélectionnée", release);
    fs::remove(agents / "codex.args");
    s.send({{"type", "chatRequest"}, {"question", "coupe le son de cette piste stp"}});
    for (int i = 0; i < 300 && !fs::exists(agents / "codex.args"); ++i) std::this_thread::sleep_for(100ms);
    s.bridge("POST", "/v1/sim/edit", {{"action", "renameProject"}, {"name", "Autre titre"}});
    auto reset = s.waitEvent("sessionReset");
    ASSERT_TRUE(reset);
    EXPECT_EQ((*reset)["reason"], "projectChanged");
    vantorel::testing::writeText(release, "");
    auto shown = s.waitEvent("chatResult", 60s);
    ASSERT_TRUE(shown);
    EXPECT_EQ((*shown)["source"], "codex");
    EXPECT_EQ(text(shown, "answer").find("VANTOREL_ACTION"), std::string::npos) << shown->dump();

    // No agent left: refused; then a remote planner on this machine answers
    // in its place, with the (emptied) conversation.
    fs::remove(agents / "codex");
    auto refused = ask({{"type", "chatRequest"}, {"question", "et la basse ?"}}, "chatResult", 60s);
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["ok"], false);
    EXPECT_EQ((*refused)["source"], "agent-unavailable");
    EXPECT_FALSE(text(refused, "message").empty());
    vantorel::testing::LoopbackServer planner([](const vantorel::testing::RecordedRequest&) {
        return vantorel::testing::Reply{200, R"({"answer": "Le service répond."})"};
    });
    vantorel::testing::writeText(home.appData() / "planner.json",
                                 json{{"plannerUrl", planner.url() + "/api/plan"}}.dump());
    auto remote = ask({{"type", "chatRequest"}, {"question", "et la basse ?"}}, "chatResult", 60s);
    ASSERT_TRUE(remote);
    EXPECT_EQ((*remote)["source"], "ai") << remote->dump();
    EXPECT_EQ((*remote)["answer"], "Le service répond.");
    ASSERT_EQ(planner.requests().size(), 1u);
    const json sent = json::parse(planner.requests()[0].body);
    EXPECT_EQ(sent["question"], "et la basse ?");
    EXPECT_EQ(sent["history"], json::array());
    auto names = ControllerSession::eventNames(s.all());
    EXPECT_EQ(std::count(names.begin(), names.end(), "planResult"), 0);
}

TEST_F(FlowsEndToEnd, TheChosenFolderIsIndexedAndOnlyItsSetsOpen) {
    const fs::path folder = home.root() / "Projets";
    for (const char* name : {"Aube", "Nuit", "Zénith"})
        vantorel::testing::writeLiveSet(folder / (std::string(name) + ".als"), vantorel::testing::simpleSet(name));
    const fs::path outside = home.root() / "Ailleurs.als";
    vantorel::testing::writeLiveSet(outside, vantorel::testing::simpleSet());
    auto& s = connected();
    auto chooser = [](const json& line) { return line.value("platform", "") == "folder" && !line.contains("path"); };
    auto scanOrChooser = [&](const json& line) { return chooser(line) || line.value("event", "") == "projectScanProgress"; };

    // Cancelled: the chooser closes (it can be asked again) and nothing is scanned.
    s.send({{"type", "chooseProjectFolder"}});
    auto asked = s.waitFor(chooser);
    ASSERT_TRUE(asked);
    EXPECT_EQ((*asked)["title"], "Choisir le dossier de projets Ableton");
    EXPECT_EQ((*asked)["button"], "Indexer ce dossier");
    s.send({{"platform", "folder"}, {"path", nullptr}});
    s.send({{"type", "chooseProjectFolder"}});
    auto again = s.waitFor(scanOrChooser);
    ASSERT_TRUE(again && chooser(*again)) << (again ? again->dump() : "");
    EXPECT_FALSE(fs::exists(home.appData() / "project-index.json"));

    // Chosen, then scanned again: each scan's progress from 0 of 0 to 3 of 3, then the index.
    s.send({{"platform", "folder"}, {"path", folder.string()}});
    ASSERT_TRUE(s.waitEvent("projectIndex"));
    s.send({{"type", "rescanProjects"}});
    auto index = s.waitEvent("projectIndex");
    ASSERT_TRUE(index);
    EXPECT_EQ((*index)["folderPath"], folder.string());
    EXPECT_EQ((*index)["projects"].size(), 3u);
    json progress = json::array();
    for (const json& line : s.all())
        if (line.value("event", "") == "projectScanProgress") progress.push_back(line["value"]);
    const json scan = json::parse(R"([{"running": true, "completed": 0, "total": 0}, {"running": true, "completed": 0,
        "total": 3}, {"running": true, "completed": 1, "total": 3}, {"running": true, "completed": 2, "total": 3},
        {"running": false, "completed": 3, "total": 3}])");
    json twice = scan;
    twice.insert(twice.end(), scan.begin(), scan.end());
    EXPECT_EQ(progress, twice);
    auto stored = vantorel::ALSProjectIndexStore(home.appData()).load();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->projects.size(), 3u);

    // Only an indexed set that is still there is handed to the desktop.
    const std::string inside = stored->projects[0].path;
    const std::pair<std::string, json> opens[] = {
        {inside, {{"ok", true}, {"message", "Ouverture demandée à Ableton Live."}}},
        {outside.string(), {{"ok", false}, {"message", "Ce projet ne fait pas partie de l’index local actuel."}}},
        {inside, {{"ok", false}, {"message", "Le système n’a pas pu ouvrir ce projet."}}},  // removed meanwhile
    };
    for (const auto& [path, expected] : opens) {
        EXPECT_EQ(ask({{"type", "openProject"}, {"path", path}}, "projectScanResult"), expected) << path;
        fs::remove(inside);
    }
    std::vector<json> opened;
    for (const json& line : s.all())
        if (line.value("platform", "") == "openDocument") opened.push_back(line);
    EXPECT_EQ(opened, (std::vector<json>{{{"platform", "openDocument"}, {"path", inside}}}));
}

TEST_F(FlowsEndToEnd, OnboardingSavesTheProfileAndMarksTheSetOrganized) {
    auto& s = connected();
    json profile = {{"level", "pro"},         {"genre", "techno"},          {"references", "Nuit"},
                    {"targetFormat", "club"}, {"mainBlocker", "les drops"}, {"answerStyle", "direct"}};
    auto saved = ask({{"type", "saveProducerProfile"}, {"profile", profile}}, "producerProfileSaved");
    ASSERT_TRUE(saved);
    EXPECT_EQ((*saved)["profile"]["genre"], "techno");
    EXPECT_EQ((*saved)["organized"], false);

    auto plan = ask({{"type", "requestOnboardingOrganization"}}, "planResult");
    ASSERT_TRUE(plan && (*plan)["ok"] == true) << (plan ? plan->dump() : "");
    const auto& actions = (*plan)["plan"]["actions"];
    EXPECT_TRUE(std::any_of(actions.begin(), actions.end(),
                            [](const json& action) { return action["command"] == "tracks.organize"; }));
    s.send({{"type", "executePlan"}, {"planId", (*plan)["plan"]["planId"]}});
    auto organized =
        s.waitEventWhere("onboardingState", [](const json& v) { return v.value("organized", false); }, 60s);
    ASSERT_TRUE(organized);
    EXPECT_EQ((*organized)["profile"]["genre"], "techno");
    auto done = s.waitEvent("planExecutionResult", 30s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true);

    // A stage out of range is refused in the store's words; a valid one and
    // the completion are kept; each reset empties its own record.
    auto refused = ask({{"type", "validateProjectStage"}, {"stage", 7}}, "onboardingError");
    ASSERT_TRUE(refused);
    EXPECT_FALSE(text(refused, "message").empty());
    s.send({{"type", "validateProjectStage"}, {"stage", 3}});
    auto validated = s.waitEventWhere("onboardingState", [](const json& v) { return v["validatedStage"] == 3; });
    ASSERT_TRUE(validated);
    s.send({{"type", "completeOnboarding"}});
    ASSERT_TRUE(s.waitEventWhere("onboardingState", [](const json& v) { return v.value("completed", false); }));
    s.send({{"type", "resetOnboarding"}});
    auto reset = s.waitEventWhere("onboardingState", [](const json& v) { return !v.value("organized", true); });
    ASSERT_TRUE(reset);
    EXPECT_EQ((*reset)["validatedStage"], nullptr);
    EXPECT_EQ((*reset)["profile"]["genre"], "");
    EXPECT_EQ((*reset)["completed"], false);
    // The organisation run was recorded as accepted; the reset forgets it.
    auto preferences = ask({{"type", "resetPreferenceProfile"}}, "preferenceProfile");
    ASSERT_TRUE(preferences);
    EXPECT_EQ((*preferences)["signals"], json::array());
}

}  // namespace
