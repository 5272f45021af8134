// The project commands of vantorel-cli (scan, parse, stages), run as the
// built program.
#include "common/process.h"
#include "project/live_set_fixture.h"
#include "support/cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace vantorel {
namespace {

using Json = nlohmann::json;

using testing::runCli;

class ProjectCommands : public testing::CliTest {};

TEST_F(ProjectCommands, ParseAndScan) {
    const auto folder = home.root() / "Projets";
    testing::writeLiveSet(folder / "Club.als", testing::simpleSet("Kick"));
    testing::writeText(folder / "broken.als", "junk");

    auto parsed = runCli({"parse", (folder / "Club.als").string()});
    ASSERT_EQ(parsed.code, 0);
    EXPECT_EQ(parsed.output["name"], "Club");
    EXPECT_EQ(parsed.output["tempo"], 120.0);
    EXPECT_EQ(parsed.output["tracks"][0]["name"], "Kick");
    EXPECT_EQ(parsed.output["stage"], 2);

    auto failed = runCli({"parse", (folder / "broken.als").string()});
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(failed.output["error"]["case"], "unreadableArchive");
    EXPECT_EQ(failed.output["error"]["message"],
              "Impossible de décompresser broken.als. Le projet reste signalé dans les avertissements.");

    auto scanned = runCli({"scan", folder.string()});
    ASSERT_EQ(scanned.code, 0);
    EXPECT_EQ(scanned.output["folderPath"], folder.string());
    EXPECT_EQ(scanned.output["projects"].size(), 1u);
    EXPECT_EQ(scanned.output["warnings"].size(), 1u);
    EXPECT_EQ(scanned.error, "") << "no progress bar when standard error is not a terminal";

    const auto previous = home.root() / "index.json";
    testing::writeText(previous, scanned.output.dump());
    auto rescanned = runCli({"scan", folder.string(), "--previous", previous.string()});
    ASSERT_EQ(rescanned.code, 0);
    EXPECT_EQ(rescanned.output["projects"], scanned.output["projects"]);

    testing::writeText(previous, "{\"folderPath\": 3}");
    auto refused = runCli({"scan", folder.string(), "--previous", previous.string()});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.output["error"]["case"], "invalidIndex");

    auto missing = runCli({"scan", (home.root() / "nowhere").string()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.output["error"]["case"], "folderMissing");

    EXPECT_EQ(runCli({"scan"}).code, 2);
    EXPECT_EQ(runCli({"parse", "a.als", "b.als"}).code, 2);
}

TEST_F(ProjectCommands, StagesOfAnAnalysis) {
    const auto analysis = home.root() / "analysis.json";
    testing::writeText(analysis, R"({"tracks": [{"name": "Pad", "active": true, "hasContent": true}]})");
    const auto measurement = home.root() / "measurement.json";
    testing::writeText(measurement, R"({"scope": "renderedMasterResampling", "truePeakDbTP": -2.0})");

    auto judged = runCli({"stages", "--project", "Démo", "--measurement", measurement.string(), analysis.string()});
    ASSERT_EQ(judged.code, 0);
    EXPECT_EQ(judged.output["project"], "Démo");
    EXPECT_EQ(judged.output["currentMilestone"], 2);
    EXPECT_EQ(judged.output["milestones"][0]["state"], "reached");
    EXPECT_EQ(judged.output["milestones"][5]["evidence"][1], "Crête vraie : -2.0 dBTP");
    EXPECT_EQ(judged.output["timeline"], Json::array());

    // A finished arrangement whose master has 6.5 dB of headroom and clean
    // names, judged on a rendered master's true peak.
    Json track = {{"active", true},  {"hasContent", true}, {"clips", 2}, {"clipDetails", {{{"lengthBeats", 32}}}},
                  {"devices", {Json::object()}}, {"meterWindow", {{"samples", 40}, {"observedSeconds", 2.0}, {"maximum", 0.4}}}};
    Json finished = {{"beatsPerBar", 4}, {"arrangementLengthBars", 96}, {"sectionCountFromLocators", 5},
                     {"masterTrack", {{"meterWindow", {{"samples", 80}, {"observedSeconds", 4.0}, {"maximum", 0.4732}}}}}};
    for (const char* name : {"Kick", "Sub Bass", "Hats", "Riser FX"}) {
        track["name"] = name;
        finished["tracks"].push_back(track);
    }
    testing::writeText(analysis, finished.dump());
    const struct {
        double truePeak;
        Json missing;
    } masters[] = {{-1.2, Json::array()}, {-0.3, {"Ramener la crête vraie sous -1 dBTP — -0.3 dBTP"}}};
    for (const auto& master : masters) {
        SCOPED_TRACE(master.truePeak);
        testing::writeText(measurement,
                           Json{{"scope", "renderedMasterResampling"}, {"truePeakDbTP", master.truePeak}}.dump());
        auto premaster = runCli({"stages", "--project", "Démo", "--measurement", measurement.string(), analysis.string()});
        ASSERT_EQ(premaster.code, 0);
        EXPECT_EQ(premaster.output["milestones"][5]["evidence"][0], "Headroom mesuré : 6.5 dB");
        EXPECT_EQ(premaster.output["milestones"][5]["missing"], master.missing);
        EXPECT_EQ(premaster.output["milestones"][5]["state"], master.missing.empty() ? "reached" : "inProgress");
    }

    EXPECT_EQ(runCli({"stages", analysis.string()}).code, 2) << "--project is required";
    testing::writeText(analysis, "[1, 2]");
    EXPECT_EQ(runCli({"stages", "--project", "x", analysis.string()}).output["error"]["case"], "invalidAnalysis");
}

}  // namespace
}  // namespace vantorel
