#include "project/preference_store.h"

#include "support/temp_home.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;
using Outcome = VantorelPreferenceOutcome;

TEST(VantorelPreferenceStore, SummaryLinesPerActionTypeInOrder) {
    testing::TempHome home;
    VantorelPreferenceStore store;
    store.record("tempo", 3, Outcome::undone);
    store.record("organize", 2, Outcome::accepted);
    store.record("organize", std::nullopt, Outcome::refused, "pas maintenant");
    store.record("organize", 2, Outcome::accepted);
    EXPECT_EQ(store.snapshot().summaryLines(),
              (std::vector<std::string>{"organize · 2 validé(s), 1 refusé(s), 0 annulé(s)",
                                        "tempo · 0 validé(s), 0 refusé(s), 1 annulé(s)"}));
    json d = store.snapshot().dictionary();
    EXPECT_EQ(d["summaryLines"].size(), 2u);
    EXPECT_EQ(d["signals"].size(), 4u);
    EXPECT_TRUE(d["updatedAt"].is_string());
}

TEST(VantorelPreferenceStore, KeepsTheNewest500Signals) {
    testing::TempHome home;
    // A profile already full, as 500 earlier records leave it.
    json full = {{"signals", json::array()}, {"updatedAt", "2026-11-01T10:00:00Z"}};
    for (int i = 0; i < 500; ++i) {
        full["signals"].push_back({{"id", "signal-" + std::to_string(i)},
                                   {"actionType", "clips.create-midi"},
                                   {"outcome", "accepted"},
                                   {"timestamp", "2026-11-01T10:00:00Z"}});
    }
    testing::writeText(home.appData() / "preference-profile.json", full.dump());
    VantorelPreferenceStore store;
    ASSERT_EQ(store.snapshot().signals.size(), 500u);

    auto newest = store.record("tempo", 2, Outcome::accepted);
    auto profile = store.snapshot();
    ASSERT_EQ(profile.signals.size(), 500u);
    EXPECT_EQ(profile.signals.front().id, "signal-1") << "the oldest was dropped";
    EXPECT_EQ(profile.signals.back().id, newest.id);
    json file = json::parse(testing::readText(store.file()));
    EXPECT_EQ(file["signals"].size(), 500u);
    EXPECT_EQ(file["signals"][499]["actionType"], "tempo");
}

TEST(VantorelPreferenceStore, CutsTextsAndLeavesOutAbsentFields) {
    testing::TempHome home;
    VantorelPreferenceStore store;
    auto signal = store.record(std::string(100, 'a'), std::nullopt, Outcome::accepted);
    EXPECT_EQ(signal.actionType, std::string(80, 'a'));
    // Characters, not bytes: accented letters and emoji count as one each.
    std::string accented;
    for (int i = 0; i < 90; ++i) accented += "é";
    auto refused = store.record("organize", 1, Outcome::refused, accented + "👍🏽");
    std::string expected;
    for (int i = 0; i < 80; ++i) expected += "é";
    EXPECT_EQ(refused.reason, expected);

    json file = json::parse(testing::readText(store.file()));
    EXPECT_FALSE(file["signals"][0].contains("projectStage"));
    EXPECT_FALSE(file["signals"][0].contains("reason"));
    EXPECT_EQ(file["signals"][1]["projectStage"], 1);
    EXPECT_EQ(file["signals"][1]["outcome"], "refused");
    EXPECT_EQ(file["signals"][1]["id"].get<std::string>().size(), 36u);
}

TEST(VantorelPreferenceStore, ReloadsClearsAndToleratesBadFiles) {
    testing::TempHome home;
    {
        VantorelPreferenceStore store;
        store.record("undo", 4, Outcome::accepted);
    }
    VantorelPreferenceStore reloaded;
    ASSERT_EQ(reloaded.snapshot().signals.size(), 1u);
    EXPECT_EQ(reloaded.snapshot().signals[0].projectStage, 4);

    reloaded.clear();
    EXPECT_TRUE(reloaded.snapshot().signals.empty());
    EXPECT_FALSE(std::filesystem::exists(reloaded.file()));
    reloaded.clear();  // no file is no error

    for (const char* content : {"[]", "{\"signals\": [{\"id\": \"x\"}], \"updatedAt\": \"2026-01-01T00:00:00Z\"}",
                                "{\"signals\": [{\"id\": \"x\", \"actionType\": \"a\", \"outcome\": \"maybe\", "
                                "\"timestamp\": \"2026-01-01T00:00:00Z\"}], \"updatedAt\": \"2026-01-01T00:00:00Z\"}"}) {
        SCOPED_TRACE(content);
        testing::writeText(reloaded.file(), content);
        VantorelPreferenceStore store;
        EXPECT_TRUE(store.snapshot().signals.empty());
        store.record("organize", std::nullopt, Outcome::accepted);
        EXPECT_EQ(json::parse(testing::readText(store.file()))["signals"].size(), 1u) << "overwritten";
    }
}

}  // namespace
}  // namespace vantorel
