// The texts a producer reads keep a decimal point under a French locale: the
// app calls gtk_init, which sets the process locale from the environment, and
// the printf and strtod families then write and read a comma.
#include "common/format.h"
#include "common/iso8601.h"
#include "common/json.h"
#include "planning/safe_action_planner.h"
#include "project/milestone_engine.h"
#include "support/required.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vantorel {
namespace {

using Json = nlohmann::json;

class UnderFrenchLocale : public ::testing::Test {
protected:
    void SetUp() override {
        VANTOREL_REQUIRE(french_.active(), "the fr_FR.UTF-8 locale is not generated");
        // Proof that the locale bites: without the fix these texts would read "124,5".
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.1f", 124.5);
        ASSERT_STREQ(probe, "124,5");
    }

private:
    testing::FrenchLocale french_;
};

TEST_F(UnderFrenchLocale, NumberFormatsKeepThePoint) {
    EXPECT_EQ(format::number(124.5), "124.5");
    EXPECT_EQ(format::number(128), "128");
    EXPECT_EQ(format::oneDecimal(-1.46), "-1.5");
    EXPECT_EQ(format::oneDecimal(-0.04), "0.0");  // no "-0.0" after rounding
    EXPECT_EQ(format::parseNumber("124.5"), 124.5);
    EXPECT_EQ(format::parseNumber("124,5"), std::nullopt);
}

TEST_F(UnderFrenchLocale, PlanAndStageTextsKeepThePoint) {
    auto plan = SafeActionPlanner::plan("124,5 bpm", SafeActionPlanner::PlanningContext{});
    EXPECT_EQ(plan.title, "Régler le tempo à 124.5 BPM");
    ASSERT_FALSE(plan.actions.empty());
    EXPECT_EQ(plan.actions[0].tempo, 124.5);

    Json lead = {{"name", "Lead"},
                 {"active", true},
                 {"hasContent", true},
                 {"clips", 1},
                 {"clipDetails", Json::array({{{"lengthBeats", 31}}})},
                 {"meterWindow", {{"samples", 10}, {"observedSeconds", 1}, {"maximum", 0.6}}}};
    auto stages = VantorelMilestoneEngine::evaluate("Demo", Json{{"tracks", Json::array({lead})}},
                                                    Json{{"scope", "renderedMasterResampling"}, {"truePeakDbTP", -1.5}});
    EXPECT_EQ(stages.milestones.at(1).evidence.at(1), "Boucle la plus longue : 7.8 mesures");  // Groove
    EXPECT_EQ(stages.milestones.at(5).evidence.at(1), "Crête vraie : -1.5 dBTP");              // Pre-master
}

TEST_F(UnderFrenchLocale, DictionariesAndDatesKeepTheirForm) {
    Json measurement = {{"integratedLufs", -14.25}, {"bands", {{"low", 12.5}}}};
    std::string text = json::pretty(measurement);
    EXPECT_NE(text.find("-14.25"), std::string::npos) << text;
    EXPECT_EQ(json::parse(text), std::optional<Json>(measurement));

    auto date = iso8601::parse("2026-12-07T04:18:36.5+01:30");
    ASSERT_TRUE(date);
    EXPECT_EQ(iso8601::format(*date), "2026-12-07T02:48:36Z");
}

}  // namespace
}  // namespace vantorel
