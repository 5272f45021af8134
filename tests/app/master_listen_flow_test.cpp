#include "app/flow_fixture.h"
#include "bridge/readable.h"
#include "planning/plan.h"

#include <sndfile.h>

#include <gtest/gtest.h>

#include <cmath>

namespace vantorel {
namespace {

using nlohmann::json;
using testing::FlowFixture;
using testing::RecordedRequest;
using testing::Reply;

void writeTone(const std::filesystem::path& path) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> frames(44100 * 2);
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = 0.5f * std::sin(2 * M_PI * 440 * (i / 2) / 44100.0);
    sf_writef_float(file, frames.data(), 44100);
    sf_close(file);
}

std::string ok(json result) { return json{{"ok", true}, {"result", std::move(result)}}.dump(); }

SafePlanAction listen(std::optional<double> bars) {
    SafePlanAction action;
    action.command = SafeActionCommand::listenMaster;
    action.length = bars;
    action.startTime = 0;
    return action;
}

// Status replies served in order, the last one repeated.
struct Capture {
    FlowFixture f;
    std::filesystem::path wav;
    std::optional<Outcome<Json>> outcome;

    explicit Capture(std::vector<json> statuses, bool cleanupRefused = false) {
        wav = f.home.root() / "capture.wav";
        writeTone(wav);
        f.connect();
        f.bridge.answer("/v1/master-capture/start", {{"jobId", "job-1"}, {"revision", 8}});
        auto served = std::make_shared<std::size_t>(0);
        f.bridge.on("/v1/master-capture/status", [statuses, served](const RecordedRequest&) {
            if (statuses.empty()) return Reply{500, "{}"};
            std::size_t at = std::min((*served)++, statuses.size() - 1);
            return Reply{200, ok(statuses[at])};
        });
        f.bridge.answer("/v1/master-capture/cancel", {{"cancelled", true}});
        if (cleanupRefused) {
            f.bridge.on("/v1/master-capture/cleanup", [](const RecordedRequest&) {
                return Reply{409, R"({"ok": false, "error": {"code": "busy", "message": "Occupé."}})"};
            });
        } else {
            f.bridge.answer("/v1/master-capture/cleanup", {{"removed", true}, {"revision", 10}});
        }
    }

    void run(SafePlanAction action) {
        f.app->executeMasterListen(action, 7, [this](Outcome<Json> result) { outcome.emplace(std::move(result)); });
        EXPECT_TRUE(f.loop.runUntil([&] { return outcome.has_value(); }, std::chrono::seconds(15)));
    }
    std::string error() {
        if (!outcome || outcome->ok()) return "(no error)";
        return readable(outcome->error());
    }
    std::size_t cancels() const { return f.bridge.requests("/v1/master-capture/cancel").size(); }
};

TEST(MasterListenFlow, CapturesMeasuresAndCleansUpOrWarns) {
    for (bool cleanupRefused : {false, true}) {
        SCOPED_TRACE(cleanupRefused ? "cleanup refused" : "cleaned up");
        Capture capture(std::vector<json>{}, cleanupRefused);
        capture.f.bridge.on("/v1/master-capture/status", [&capture, n = std::make_shared<int>(0)](const RecordedRequest&) {
            if ((*n)++ == 0) return Reply{200, ok({{"status", "recording"}})};
            return Reply{200, ok({{"status", "ready"}, {"progress", 1}, {"filePath", capture.wav.string()}})};
        });
        capture.run(listen(2));
        ASSERT_TRUE(capture.outcome && capture.outcome->ok()) << capture.error();
        const json& result = capture.outcome->get();
        EXPECT_EQ(result["undoAvailable"], false);
        // The cleanup's revision carries the plan on; without it the next write is refused as stale.
        EXPECT_EQ(result.value("revision", json()), cleanupRefused ? json() : json(10));
        const json& measurement = result["audioMeasurement"];
        EXPECT_EQ(measurement["captureBars"], 2);
        EXPECT_EQ(measurement["project"], "Nuit.als");
        EXPECT_EQ(measurement["temporaryTrackRemoved"], !cleanupRefused);
        EXPECT_EQ(measurement.value("cleanupWarning", ""),
                  cleanupRefused ? "Supprime manuellement la piste __Vantorel Master Listen — temporary__." : "");

        auto progress = capture.f.values("masterCaptureProgress");
        ASSERT_EQ(progress.size(), 2u);
        EXPECT_EQ(progress[0], (json{{"jobId", "job-1"}, {"status", "recording"}, {"progress", 0}, {"bars", 2}}));
        EXPECT_EQ(capture.f.waitFor("audioResult")["measurement"], measurement);
        // The stored copies do not carry the cleanup's keys.
        ASSERT_TRUE(capture.f.app->latestAudioMeasurement);
        EXPECT_FALSE(capture.f.app->latestAudioMeasurement->contains("temporaryTrackRemoved"));
        EXPECT_EQ((*capture.f.app->currentContext)["audioMeasurement"], *capture.f.app->latestAudioMeasurement);
        EXPECT_EQ(capture.cancels(), 0u);
        auto start = json::parse(capture.f.bridge.requests("/v1/master-capture/start").at(0).body);
        EXPECT_EQ(start, (json{{"bars", 2}, {"startTime", 0.0}, {"expectedRevision", 7}, {"confirm", true}}));
    }
}

TEST(MasterListenFlow, EachFailureAfterTheStartSendsOneCancelAndNoneBefore) {
    const std::string invalid = "Réponse invalide du bridge Ableton.";
    const json ready = {{"status", "ready"}};
    struct Row {
        const char* label;
        double bars;
        std::vector<json> statuses;
        bool startRefused;
        std::string message;
        std::size_t starts;
        std::size_t cancels;
    };
    const Row rows[] = {
        {"failed with the bridge's message", 2, {{{"status", "failed"}, {"error", {{"message", "X"}}}}}, false, "X", 1, 1},
        {"failed without one", 2, {{{"status", "failed"}}}, false, "La capture master a échoué.", 1, 1},
        {"ready without file", 2, {ready}, false, invalid, 1, 1},
        {"status without status", 2, {{{"progress", 0.5}}}, false, invalid, 1, 1},
        {"33 bars: no start", 33, {ready}, false, invalid, 0, 0},
        {"start refused: no job", 2, {ready}, true, "Arrête la lecture.", 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Capture capture(row.statuses);
        if (row.startRefused) {
            capture.f.bridge.on("/v1/master-capture/start", [](const RecordedRequest&) {
                return Reply{409, R"({"ok": false, "error": {"code": "playing", "message": "Arrête la lecture."}})"};
            });
        }
        capture.run(listen(row.bars));
        EXPECT_EQ(capture.error(), row.message);
        EXPECT_EQ(capture.f.bridge.requests("/v1/master-capture/start").size(), row.starts);
        EXPECT_EQ(capture.cancels(), row.cancels);
        EXPECT_TRUE(capture.f.values("audioResult").empty());
    }
}

TEST(MasterListenFlow, TimesOutOnTheDeadlineWithOneCancel) {
    Capture capture(std::vector<json>{json{{"status", "recording"}}});
    capture.f.app->executeMasterListen(listen(8), 7, [&](Outcome<Json> r) { capture.outcome.emplace(std::move(r)); });
    // 8 bars at 120 BPM: 16 s of recording plus 20 s of grace.
    ASSERT_TRUE(capture.f.loop.runUntil([&] { return !capture.f.values("masterCaptureProgress").empty(); },
                                        std::chrono::seconds(5)));
    capture.f.clock += std::chrono::seconds(35);
    capture.f.loop.runUntil([&] { return capture.f.values("masterCaptureProgress").size() >= 2; },
                            std::chrono::seconds(5));
    EXPECT_FALSE(capture.outcome);
    capture.f.clock += std::chrono::seconds(2);
    ASSERT_TRUE(capture.f.loop.runUntil([&] { return capture.outcome.has_value(); }, std::chrono::seconds(5)));
    EXPECT_EQ(capture.error(), "La capture master a dépassé le délai prévu.");
    EXPECT_EQ(capture.cancels(), 1u);
}

}  // namespace
}  // namespace vantorel
