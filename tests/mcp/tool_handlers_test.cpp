// Tools that read the key source and the master-listen jobs, against a
// loopback bridge that hands out real audio files.
#include "analysis/audio_fixture.h"
#include "common/json.h"
#include "mcp/tool_handlers.h"
#include "mcp_fixture.h"

#include <gtest/gtest.h>

#include <mutex>

namespace vantorel {
namespace {

using json::Json;
using testing::BridgeFixture;
using testing::RecordedRequest;
using testing::Reply;

const std::string kJob = "master_0123456789abcdef0123456789abcdef";

Json call(const std::string& tool, const Json& arguments = Json::object()) {
    return VantorelMCP::callTool("vantorel_" + tool, arguments);
}

// A bridge whose replies a test sets per path.
struct ScriptedBridge {
    std::mutex lock;
    std::map<std::string, Reply> replies;
    BridgeFixture fixture{[this](const RecordedRequest& request) {
        std::lock_guard<std::mutex> guard(lock);
        auto found = replies.find(request.path);
        return found == replies.end() ? Reply{404, R"({"ok":false,"error":{"code":"NOT_FOUND","message":"No route."}})"}
                                      : found->second;
    }};

    void set(const std::string& path, int status, const std::string& body) {
        std::lock_guard<std::mutex> guard(lock);
        replies[path] = Reply{status, body};
    }
    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (const auto& request : fixture.toolRequests()) out.push_back(request.path);
        return out;
    }
};

TEST(KeyTools, MidiKeySourceWithDefaults) {
    ScriptedBridge bridge;
    // F minor triad and scale tones; no track, clip or project names.
    bridge.set("/v1/key-source", 200,
               testing::envelope({{"kind", "midi"}, {"pitchClasses", {1, 0, 0.5, 0, 0, 3, 0, 0.5, 2, 0, 0.5, 0}}}));
    Json result = call("find_key");
    ASSERT_EQ(result["isError"], false) << result;
    Json value = testing::content(result);
    EXPECT_EQ(value["kind"], "midi");
    EXPECT_EQ(value["analyzedSeconds"], 0.0);
    EXPECT_EQ(value["key"], "F minor");
    EXPECT_EQ(value["track"], "Selected track");
    EXPECT_EQ(value["clip"], "Selected clip");
    EXPECT_EQ(value["project"], "Untitled");
    EXPECT_EQ(value["revision"], 0);

    bridge.set("/v1/key-source", 200, testing::envelope({{"kind", "midi"}, {"pitchClasses", {1, "x"}}}));
    EXPECT_EQ(testing::errorMessage(call("find_key")), "VantorelBridge returned an invalid response.");
    bridge.set("/v1/key-source", 200, testing::envelope({{"kind", "video"}}));
    EXPECT_EQ(testing::errorMessage(call("find_key")), "VantorelBridge returned an invalid response.");
    bridge.set("/v1/key-source", 200, testing::envelope({{"kind", "audio"}}));
    EXPECT_EQ(testing::errorMessage(call("find_key")), "VantorelBridge returned an invalid response.");
    // The analyser's own refusal, with its own type.
    bridge.set("/v1/key-source", 200, testing::envelope({{"kind", "midi"}, {"pitchClasses", Json::array({0, 0})}}));
    EXPECT_EQ(testing::content(call("find_key"))["error"]["type"], "KeyAnalysisError");
}

TEST(KeyTools, ListeningNeedsAnAudioClip) {
    ScriptedBridge bridge;
    const std::string selectAudio =
        "Select an audio clip in Ableton before asking Vantorel to listen. MIDI clips do not contain audio to decode.";
    bridge.set("/v1/key-source", 200, testing::envelope({{"kind", "midi"}, {"pitchClasses", Json::array()}}));
    EXPECT_EQ(testing::errorMessage(call("listen_selected_clip")), selectAudio);
    bridge.set("/v1/key-source", 200, testing::envelope("no clip"));
    EXPECT_EQ(testing::errorMessage(call("listen_selected_clip")), selectAudio);

    auto file = bridge.fixture.home.root() / "vocal.wav";
    testing::writeAudio(file, {testing::sine(440, 3.0), testing::sine(440, 3.0)});
    bridge.set("/v1/key-source", 200,
               testing::envelope({{"kind", "audio"},
                                  {"filePath", file.string()},
                                  {"analysisRange", {{"startSeconds", 1.0}, {"durationSeconds", 1.5}}},
                                  {"track", "Vox"},
                                  {"revision", 12}}));
    Json result = call("listen_selected_clip");
    ASSERT_EQ(result["isError"], false) << result;
    Json value = testing::content(result);
    EXPECT_NEAR(value["analyzedSeconds"].get<double>(), 1.5, 0.01);
    EXPECT_NEAR(value["samplePeakDbFS"].get<double>(), -6.02, 0.1);
    EXPECT_EQ(value["track"], "Vox");
    EXPECT_EQ(value["clip"], "Selected clip");
    EXPECT_EQ(value["revision"], 12);
    EXPECT_NE(value["scope"], "renderedMasterResampling");

    bridge.set("/v1/key-source", 200, testing::envelope({{"kind", "audio"}, {"filePath", "/nonexistent/file.wav"}}));
    EXPECT_EQ(testing::content(call("listen_selected_clip"))["error"]["type"], "AudioMeasurementError");
}

TEST(MasterListen, StartAndCancelSendTheirBodies) {
    ScriptedBridge bridge;
    bridge.set("/v1/master-capture/start", 200, testing::envelope({{"jobId", kJob}, {"status", "recording"}}));
    bridge.set("/v1/master-capture/cancel", 200, testing::envelope({{"cancelled", true}}));
    EXPECT_EQ(testing::content(call("start_master_listen",
                                    {{"bars", 4.0}, {"startTime", 16}, {"expectedRevision", 2}, {"confirm", true}}))["jobId"],
              kJob);
    EXPECT_EQ(testing::errorMessage(call("start_master_listen",
                                         {{"bars", 33}, {"startTime", 0}, {"expectedRevision", 2}, {"confirm", true}})),
              "bars must be between 1 and 32.");
    EXPECT_EQ(call("cancel_master_listen", {{"jobId", " " + kJob}, {"confirm", true}})["isError"], false);
    auto requests = bridge.fixture.toolRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Json::parse(requests[0].body),
              (Json{{"bars", 4}, {"startTime", 16.0}, {"expectedRevision", 2}, {"confirm", true}}));
    EXPECT_EQ(Json::parse(requests[1].body), (Json{{"jobId", kJob}, {"confirm", true}}));
}

TEST(MasterListen, RunningAndFailedJobs) {
    ScriptedBridge bridge;
    bridge.set("/v1/master-capture/status", 200, testing::envelope({{"status", "running"}, {"progress", 0.4}}));
    bridge.set("/v1/master-capture/cleanup", 409, R"({"ok":false,"error":{"code":"X","message":"gone"}})");
    Json running = call("get_master_listen", {{"jobId", kJob}});
    EXPECT_EQ(running["isError"], false);
    EXPECT_EQ(testing::content(running), (Json{{"status", "running"}, {"progress", 0.4}}));
    EXPECT_EQ(bridge.paths(), std::vector<std::string>{"/v1/master-capture/status"});
    EXPECT_EQ(Json::parse(bridge.fixture.toolRequests()[0].body), (Json{{"jobId", kJob}}));

    Json failedStatus = {{"status", "failed"}, {"error", {{"message", "Transport was playing."}}}};
    bridge.set("/v1/master-capture/status", 200, testing::envelope(failedStatus));
    Json failed = call("get_master_listen", {{"jobId", kJob}});
    EXPECT_EQ(failed["isError"], true);
    EXPECT_EQ(testing::content(failed), failedStatus);
    auto paths = bridge.paths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[2], "/v1/master-capture/cleanup");
    EXPECT_EQ(Json::parse(bridge.fixture.toolRequests()[2].body), (Json{{"jobId", kJob}, {"confirm", true}}));

    // "Failed" is not "failed": still running as far as the server knows.
    bridge.set("/v1/master-capture/status", 200, testing::envelope({{"status", "Failed"}}));
    EXPECT_EQ(call("get_master_listen", {{"jobId", kJob}})["isError"], false);
    for (auto body : {testing::envelope({{"status", 3}}), testing::envelope("ready"),
                      testing::envelope({{"status", "ready"}})}) {
        bridge.set("/v1/master-capture/status", 200, body);
        EXPECT_EQ(testing::errorMessage(call("get_master_listen", {{"jobId", kJob}})),
                  "VantorelBridge returned an invalid response.");
    }
    EXPECT_EQ(bridge.paths().size(), 7u);  // no cleanup for any of these
}

TEST(MasterListen, ReadyJobsAreMeasuredThenCleanedUp) {
    ScriptedBridge bridge;
    auto file = bridge.fixture.home.root() / "master.wav";
    testing::writeAudio(file, {testing::sine(440, 2.0, 44100, 0.25), testing::sine(440, 2.0, 44100, 0.25)});
    Json capture = {{"status", "ready"}, {"progress", 1}, {"filePath", file.string()}};
    bridge.set("/v1/master-capture/status", 200, testing::envelope(capture));
    bridge.set("/v1/master-capture/cleanup", 200, testing::envelope({{"temporaryTrackRemoved", true}}));

    Json result = call("get_master_listen", {{"jobId", kJob}});
    ASSERT_EQ(result["isError"], false) << result;
    Json value = testing::content(result);
    EXPECT_EQ(value["scope"], "renderedMasterResampling");
    EXPECT_EQ(value["measurementNotice"],
              "Mesure locale de la sortie master réellement rendue par Ableton pendant la capture Resampling, avec "
              "devices, retours et traitements master actifs.");
    EXPECT_EQ(value["capture"], capture);
    EXPECT_EQ(value["temporaryTrackRemoved"], true);
    EXPECT_FALSE(value.contains("cleanupWarning"));
    EXPECT_NEAR(value["samplePeakDbFS"].get<double>(), -12.04, 0.1);
    EXPECT_EQ(bridge.paths(), (std::vector<std::string>{"/v1/master-capture/status", "/v1/master-capture/cleanup"}));

    bridge.set("/v1/master-capture/cleanup", 409, R"({"ok":false,"error":{"code":"CAPTURE_RUNNING","message":"busy"}})");
    value = testing::content(call("get_master_listen", {{"jobId", kJob}}));
    EXPECT_EQ(value["temporaryTrackRemoved"], false);
    EXPECT_EQ(value["cleanupWarning"], "La mesure est valide, mais la piste temporaire doit être supprimée manuellement.");
    EXPECT_EQ(value["scope"], "renderedMasterResampling");
    EXPECT_TRUE(value.contains("rmsDbFS"));

    // An unreadable recording: the analyser's error, and the track is left
    // for the agent to cancel.
    testing::writeText(file, "not audio");
    std::size_t before = bridge.paths().size();
    Json broken = call("get_master_listen", {{"jobId", kJob}});
    EXPECT_EQ(broken["isError"], true);
    EXPECT_EQ(testing::content(broken)["error"]["type"], "AudioMeasurementError");
    EXPECT_EQ(bridge.paths().size(), before + 1);
    EXPECT_EQ(bridge.paths().back(), "/v1/master-capture/status");
}

}  // namespace
}  // namespace vantorel
