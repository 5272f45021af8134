#include "common/text.h"

#include <gtest/gtest.h>

namespace vantorel::text {
namespace {

struct Row {
    const char* label;
    const char* input;
    const char* expected;
};

TEST(NormalizedText, FoldsCaseAndDiacriticsAndTrims) {
    const Row rows[] = {
        {"accents and capitals", "Crée une PISTE", "cree une piste"},
        {"surrounding white space and newlines", "  \t rallonge l’intro \n", "rallonge l’intro"},
        {"typographic apostrophe kept", "Annule l’Action", "annule l’action"},
        {"straight apostrophe kept", "L'INTRO", "l'intro"},
        {"cedilla and diaeresis", "Ça NOËL", "ca noel"},
        {"no-break space trimmed", "\xC2\xA0" "basse\xC2\xA0", "basse"},
        {"empty", "", ""},
        {"only spaces", "   ", ""},
        {"non-Latin letters lower-cased", "ΣΟΦΊΑ", "σοφια"},
        {"sharp and flat signs untouched", "F♯ Mineur", "f♯ mineur"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(normalized(row.input), row.expected);
    }
}

TEST(NormalizedText, InvalidUtf8DoesNotThrow) {
    std::string result = normalized("Kick\xff\xfe Bass");
    EXPECT_NE(result.find("kick"), std::string::npos);
    EXPECT_NE(result.find("bass"), std::string::npos);
}

TEST(Graphemes, CountUserPerceivedCharacters) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("e\xCC\x81t\xC3\xA9"), 3u);                         // e + combining acute, t, é
    EXPECT_EQ(graphemeCount("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x8E\xA4"), 1u);  // woman + ZWJ + microphone
    EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"), 1u);              // a flag: two regional indicators
}

TEST(Graphemes, PrefixNeverSplitsACluster) {
    EXPECT_EQ(graphemePrefix("e\xCC\x81" "cho", 1), "e\xCC\x81");
    EXPECT_EQ(graphemePrefix("abc", 10), "abc");
    EXPECT_EQ(graphemePrefix("abc", 0), "");
    EXPECT_EQ(graphemePrefix("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7" "x", 1), "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
}

}  // namespace
}  // namespace vantorel::text
