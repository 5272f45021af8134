#include "project/lifecycle_store.h"

#include "support/temp_home.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;

json contentTrack(const std::string& name) {
    return {{"name", name},
            {"active", true},
            {"hasContent", true},
            {"clips", 1},
            {"clipDetails", json::array({{{"lengthBeats", 32}}})}};
}

json ideaOnly() { return {{"tracks", json::array({contentTrack("Pad")})}}; }

// Stages 1 to 3 met; 4 is not (no locator boundary for transitions).
json upToArrangement() {
    return {{"tracks", json::array({contentTrack("Kick"), contentTrack("Bass"), contentTrack("Hats"), contentTrack("Keys")})},
            {"arrangementLengthBars", 64},
            {"sectionCountFromLocators", 4}};
}

json grooveOnly() {
    json analysis = upToArrangement();
    analysis["arrangementLengthBars"] = 10;
    return analysis;
}

std::vector<std::pair<int, std::string>> events(const PersistedLifecycle& record) {
    std::vector<std::pair<int, std::string>> out;
    for (const auto& e : record.events) out.push_back({e.milestoneID, e.kind});
    return out;
}

TEST(VantorelLifecycleStore, ReachedStagesShareOneTimestampAndShowAtOnce) {
    testing::TempHome home;
    VantorelLifecycleStore store(home.root() / "state");
    auto snapshot = store.update("Club Tool", grooveOnly());
    const PersistedLifecycle& record = store.contents().projects.at("club tool");
    EXPECT_EQ(record.reached, (std::vector<int>{1, 2}));
    EXPECT_EQ(events(record), (std::vector<std::pair<int, std::string>>{{1, "reached"}, {2, "reached"}}));
    EXPECT_EQ(record.events[0].timestamp, record.events[1].timestamp);
    EXPECT_EQ(record.events[0].criteriaVersion, "2026.08.25-v1");
    EXPECT_EQ(snapshot.milestones[0].achievedAt, record.events[0].timestamp);
    EXPECT_EQ(snapshot.milestones[1].achievedAt, record.events[0].timestamp);
    EXPECT_FALSE(snapshot.milestones[2].achievedAt.has_value());
    EXPECT_EQ(snapshot.timeline.size(), 2u) << "the events of this very call are in the timeline";
}

TEST(VantorelLifecycleStore, RegressionsThenReachingAgain) {
    testing::TempHome home;
    VantorelLifecycleStore store;
    store.update("Song", upToArrangement());
    ASSERT_EQ(store.contents().projects.at("song").reached, (std::vector<int>{1, 2, 3}));

    json lostGroove = upToArrangement();
    lostGroove["tracks"] = json::array({contentTrack("Pad")});
    store.update("Song", lostGroove);
    const auto& record = store.contents().projects.at("song");
    EXPECT_EQ(record.reached, (std::vector<int>{1}));
    EXPECT_EQ(events(record), (std::vector<std::pair<int, std::string>>{
                                  {1, "reached"}, {2, "reached"}, {3, "reached"}, {2, "regressed"}, {3, "regressed"}}));

    store.update("Song", json::object());
    store.update("Song", ideaOnly());
    const auto& again = store.contents().projects.at("song");
    ASSERT_EQ(again.events.size(), 7u);
    EXPECT_EQ(events(again).back(), (std::pair<int, std::string>{1, "reached"}));
    auto snapshot = store.update("Song", ideaOnly());
    EXPECT_EQ(snapshot.milestones[0].achievedAt, again.events.back().timestamp) << "the newer date wins";

    VantorelLifecycleStore reloaded;
    ASSERT_EQ(reloaded.contents().projects.size(), 1u);
    EXPECT_EQ(reloaded.contents().projects.at("song").reached, again.reached);
    EXPECT_EQ(reloaded.contents().projects.at("song").events, again.events);
}

TEST(VantorelLifecycleStore, NamesDifferingInCaseOrBlanksShareARecord) {
    testing::TempHome home;
    VantorelLifecycleStore store;
    store.update("My Track", ideaOnly());
    auto snapshot = store.update(" my track \n", ideaOnly());
    EXPECT_EQ(store.contents().projects.size(), 1u);
    EXPECT_EQ(snapshot.project, " my track \n") << "the snapshot keeps the name as given";
    EXPECT_EQ(snapshot.timeline.size(), 1u);
}

TEST(VantorelLifecycleStore, UnchangedResultsAreNotWrittenAgain) {
    testing::TempHome home;
    VantorelLifecycleStore store;
    store.update("Loop", ideaOnly());
    // Mark the file so that any rewrite shows.
    std::string marked = testing::readText(store.file()) + " ";
    testing::writeText(store.file(), marked);
    store.update("Loop", ideaOnly());
    store.update("Loop", ideaOnly());
    EXPECT_EQ(testing::readText(store.file()), marked);
}

TEST(VantorelLifecycleStore, AnUndecodableFileStartsEmptyAndTheNextProjectReplacesItEvenWithNothingReached) {
    testing::TempHome home;
    VantorelLifecycleStore first;
    first.update("A", ideaOnly());
    first.update("B", ideaOnly());
    json file = json::parse(testing::readText(first.file()));
    file["projects"]["b"].erase("updatedAt");
    testing::writeText(first.file(), file.dump());

    VantorelLifecycleStore reloaded;
    EXPECT_TRUE(reloaded.contents().projects.empty()) << "one broken record drops the whole file";
    // A project is saved even with nothing reached.
    reloaded.update("C", json::object());
    EXPECT_EQ(reloaded.file(), home.appData() / "project-lifecycle.json");
    json replaced = json::parse(testing::readText(reloaded.file()));
    EXPECT_EQ(replaced["projects"].size(), 1u);
    EXPECT_EQ(replaced["projects"]["c"]["reached"], json::array());
    EXPECT_EQ(replaced["projects"]["c"]["events"], json::array());
    EXPECT_TRUE(replaced["projects"]["c"]["updatedAt"].is_string());

    testing::writeText(first.file(), "{not json");
    EXPECT_TRUE(VantorelLifecycleStore().contents().projects.empty());
}

TEST(VantorelLifecycleStore, WriteFailuresAreSwallowed) {
    testing::TempHome home;
    testing::writeText(home.root() / "blocked", "a file where the folder should be");
    VantorelLifecycleStore store(home.root() / "blocked");
    auto snapshot = store.update("Song", ideaOnly());
    EXPECT_EQ(snapshot.milestones[0].state, VantorelMilestoneState::reached);
    EXPECT_EQ(store.contents().projects.at("song").reached, (std::vector<int>{1})) << "memory stays updated";
}

}  // namespace
}  // namespace vantorel
