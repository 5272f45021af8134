// vantorel-cli visual, run as the built program.
#include "support/cli_runner.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;

class VisualCommand : public testing::CliTest {};

TEST_F(VisualCommand, PrintsThePictureOrNull) {
    const auto context = home.root() / "context.json";
    testing::writeText(context, R"({"projectAnalysis": {"project": "Nuit", "tracks": [{"inferredRole": "bass"}]}})");
    auto drawn = testing::runCli({"visual", "la basse est trop forte ?", context.string()});
    ASSERT_EQ(drawn.code, 0) << drawn.error;
    EXPECT_EQ(drawn.output["project"], "Nuit");
    EXPECT_EQ(drawn.output["roles"], json::parse(R"([{"role": "bass", "count": 1}])"));

    auto none = testing::runCli({"visual", "bonjour", context.string()});
    ASSERT_EQ(none.code, 0);
    EXPECT_TRUE(none.output.is_null());

    testing::writeText(context, "[1]");
    EXPECT_EQ(testing::runCli({"visual", "mon mix", context.string()}).code, 1);
    EXPECT_EQ(testing::runCli({"visual", "mon mix"}).code, 2);
}

}  // namespace
}  // namespace vantorel
