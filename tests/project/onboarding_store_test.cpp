#include "project/onboarding_store.h"

#include "support/expect_error.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using nlohmann::json;

json answers() {
    return {{"level", "  Avancé \n"},    {"genre", "Techno mélodique"}, {"references", ""},
            {"targetFormat", "CLUB"},    {"mainBlocker", "Finir l’arrangement"}, {"answerStyle", "direct"}};
}

TEST(VantorelOnboardingStore, SavesANormalisedProfile) {
    testing::TempHome home;
    VantorelOnboardingStore store;
    json values = answers();
    values["genre"] = std::string(100, 'g');
    values["references"] = "  Bicep, Rødhåd  ";
    store.saveProfile(values);
    const auto& p = store.contents().profile;
    EXPECT_EQ(p.level, "avancé");
    EXPECT_EQ(p.targetFormat, "club");
    EXPECT_EQ(p.genre, std::string(80, 'g'));
    EXPECT_EQ(p.references, "Bicep, Rødhåd");
    EXPECT_TRUE(p.isComplete());
    json file = json::parse(testing::readText(home.appData() / "producer-onboarding.json"));
    EXPECT_EQ(file["profile"]["level"], "avancé");

    // The same answer written with a combining accent.
    values["level"] = "Avance\xCC\x81";
    store.saveProfile(values);
    EXPECT_EQ(store.contents().profile.level, "avancé");
}

TEST(VantorelOnboardingStore, RefusesIncompleteOrUnknownAnswersAndChangesNothing) {
    testing::TempHome home;
    VantorelOnboardingStore store;
    store.saveProfile(answers());
    const std::string saved = testing::readText(store.file());
    struct Case {
        const char* key;
        json value;
    };
    const Case cases[] = {{"level", "expert"}, {"targetFormat", "vinyle"}, {"answerStyle", 3},
                          {"genre", "   "},   {"mainBlocker", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        json values = answers();
        values[c.key] = c.value;
        EXPECT_ERROR(store.saveProfile(values), VantorelOnboardingError, VantorelOnboardingErrorCase::invalidProfile,
                     "Complète les cinq choix obligatoires du profil producteur.");
    }
    EXPECT_EQ(store.contents().profile.genre, "Techno mélodique");
    EXPECT_EQ(testing::readText(store.file()), saved);
}

TEST(VantorelOnboardingStore, ProjectFlow) {
    testing::TempHome home;
    VantorelOnboardingStore store;
    for (int stage : {0, 7}) {
        EXPECT_ERROR(store.validateStage("My Track", stage), VantorelOnboardingError,
                     VantorelOnboardingErrorCase::invalidStage, "Choisis une étape comprise entre 1 et 6.");
    }

    store.markOrganized("My Track");
    store.complete(" my track ");
    EXPECT_FALSE(store.contents().projects.at("my track").completed) << "no validated stage yet";
    store.validateStage("MY TRACK", 6);
    store.complete("my track");
    EXPECT_FALSE(store.contents().projects.at("my track").completed) << "the profile is not complete";

    store.saveProfile(answers());
    store.complete("My Track");
    ASSERT_EQ(store.contents().projects.size(), 1u);
    const auto& record = store.contents().projects.at("my track");
    EXPECT_TRUE(record.completed);
    EXPECT_EQ(record.project, "My Track") << "the name as first seen";
    EXPECT_EQ(record.validatedStage, 6);

    json d = store.dictionary("  my track", 3);
    EXPECT_EQ(d["project"], "  my track");
    EXPECT_EQ(d["organized"], true);
    EXPECT_EQ(d["detectedStage"], 3);
    EXPECT_EQ(d["validatedStage"], 6);
    EXPECT_EQ(d["completed"], true);
    EXPECT_EQ(d["profile"]["complete"], true);
    EXPECT_EQ(d["profile"]["level"], "avancé");
    EXPECT_FALSE(d["profile"].contains("updatedAt"));

    VantorelOnboardingStore reloaded;
    EXPECT_TRUE(reloaded.contents().projects.at("my track").completed);
    EXPECT_EQ(reloaded.contents().profile.answerStyle, "direct");

    reloaded.reset();
    EXPECT_TRUE(reloaded.contents().projects.empty());
    EXPECT_FALSE(reloaded.contents().profile.isComplete());
    EXPECT_EQ(reloaded.dictionary("My Track", std::nullopt)["completed"], false);
}

TEST(VantorelOnboardingStore, DictionaryOfAnUnknownProjectStoresNothing) {
    testing::TempHome home;
    VantorelOnboardingStore store;
    store.markOrganized("Other");
    const std::string before = testing::readText(store.file());
    json d = store.dictionary("Unknown", std::nullopt);
    EXPECT_EQ(d["organized"], false);
    EXPECT_TRUE(d["validatedStage"].is_null());
    EXPECT_TRUE(d["detectedStage"].is_null());
    EXPECT_EQ(d["completed"], false);
    EXPECT_EQ(store.contents().projects.count("unknown"), 0u);
    EXPECT_EQ(testing::readText(store.file()), before);
}

TEST(VantorelOnboardingStore, LongNamesAndBadFiles) {
    testing::TempHome home;
    {
        VantorelOnboardingStore store;
        store.markOrganized(std::string(250, 'n'));
        EXPECT_EQ(store.contents().projects.begin()->second.project, std::string(200, 'n'));
    }
    testing::writeText(home.appData() / "producer-onboarding.json", "{\"profile\": {}, \"projects\": {}}");
    VantorelOnboardingStore broken;
    EXPECT_TRUE(broken.contents().projects.empty());
    EXPECT_EQ(broken.contents().profile.level, "");
}

}  // namespace
}  // namespace vantorel
