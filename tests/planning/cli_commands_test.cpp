// The planning commands of vantorel-cli, run as the built program.
#include "common/process.h"

#include "support/cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace vantorel {
namespace {

using Json = nlohmann::json;

using testing::runCli;

class CliCommands : public testing::CliTest {};

TEST_F(CliCommands, PlanWithSessionOptions) {
    auto planned = runCli({"plan", "--revision", "12", "--selected-track", "2", "--selected-midi", "--time", "8",
                        "crée un clip midi de 3 mesures"});
    ASSERT_EQ(planned.code, 0);
    EXPECT_EQ(planned.output["expectedRevision"], 12);
    EXPECT_EQ(planned.output["actions"][0]["detail"], "Piste 3 · 12 temps à partir de 8.");

    auto refused = runCli({"plan", "annule la dernière action"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.output["error"]["type"], "SafePlannerError");
    EXPECT_EQ(refused.output["error"]["case"], "nothingToUndo");

    EXPECT_EQ(runCli({"plan"}).code, 2);
}

TEST_F(CliCommands, ValidateAPlanFile) {
    auto planned = runCli({"plan", "--revision", "5", "mets le tempo à 128"});
    ASSERT_EQ(planned.code, 0);
    std::filesystem::path file = home.root() / "plan.json";
    testing::writeText(file, planned.output.dump());
    auto valid = runCli({"validate", "--revision", "5", file.string()});
    EXPECT_EQ(valid.code, 0);
    EXPECT_EQ(valid.output, Json::parse(R"({"valid":true})"));

    auto stale = runCli({"validate", "--revision", "6", file.string()});
    EXPECT_EQ(stale.code, 1);
    EXPECT_EQ(stale.output["error"]["case"], "staleRevision");

    Json broken = planned.output;
    broken["actions"][0]["command"] = "tracks.delete";
    testing::writeText(file, broken.dump());
    auto unreadable = runCli({"validate", "--revision", "5", file.string()});
    EXPECT_EQ(unreadable.code, 1);
    EXPECT_EQ(unreadable.output["error"]["type"], "SafePlanDecodingError");

    EXPECT_EQ(runCli({"validate", file.string()}).code, 2);
}

TEST_F(CliCommands, PredicatesAndKeyResolution) {
    auto predicates = runCli({"predicates", "crée une bassline"});
    ASSERT_EQ(predicates.code, 0);
    EXPECT_EQ(predicates.output, Json::parse(R"({"isExplicitAction":false,"needsMusicalKeyClarification":true,
                                                 "isMidiImprovementFollowUp":false,"hasExplicitMusicalKey":false})"));
    auto resolved = runCli({"resolve-key", "crée une bassline", "Je valide : D♭ major"});
    ASSERT_EQ(resolved.code, 0);
    EXPECT_EQ(resolved.output["prompt"], "crée une bassline · tonalité D♭ major");
    EXPECT_TRUE(runCli({"resolve-key", "crée une bassline", "je ne sais pas"}).output["prompt"].is_null());
}

}  // namespace
}  // namespace vantorel
