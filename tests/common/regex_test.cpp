#include "common/regex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vantorel::regex {
namespace {

TEST(Regex, CaptureGroupsAndAbsentGroups) {
    auto match = firstMatch(R"((\d+)(?:[.,](\d+))?\s*bpm)", "mets le tempo à 124,5 bpm stp");
    ASSERT_TRUE(match);
    EXPECT_EQ(match->group(0), "124,5 bpm");
    EXPECT_EQ(match->group(1), "124");
    EXPECT_EQ(match->group(2), "5");
    auto whole = firstMatch(R"((\d+)(?:[.,](\d+))?\s*bpm)", "128 bpm");
    ASSERT_TRUE(whole);
    EXPECT_FALSE(whole->group(2).has_value());
    EXPECT_FALSE(whole->group(7).has_value());
}

TEST(Regex, OffsetsAreUtf8Bytes) {
    auto match = firstMatch("piste", "é piste");
    ASSERT_TRUE(match);
    EXPECT_EQ(match->begin, 3u);  // "é" is two bytes, then a space
    EXPECT_EQ(match->end, 8u);
}

TEST(Regex, OptionsAndInvalidPatterns) {
    EXPECT_FALSE(contains("basse", "BASSE"));
    EXPECT_TRUE(contains("basse", "BASSE", caseInsensitive));
    EXPECT_FALSE(contains("a.b", "a\nb"));
    EXPECT_TRUE(contains("a.b", "a\nb", dotAll));
    EXPECT_EQ(allMatches(R"(\d+)", "1 22 333").size(), 3u);
    EXPECT_THROW(firstMatch("(unclosed", "x"), std::invalid_argument);
}

TEST(Regex, CacheCompilesOncePerPatternAcrossThreads) {
    const std::string pattern = R"(\bpiste\s+(\d{1,3})\b)";
    std::size_t before = cachedPatternCount();
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto m = firstMatch(pattern, "mute la piste " + std::to_string(t * 1000 + i % 100));
                if (m && m->group(1)) ++found;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    // Threads 0 and 1 produce numbers of at most 3 digits ("0".."99", "1000"
    // has 4 digits and must not match as a whole word).
    EXPECT_EQ(found.load(), 200);
    EXPECT_EQ(cachedPatternCount(), before + 1);
}

}  // namespace
}  // namespace vantorel::regex
