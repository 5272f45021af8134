#include "common/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantorel::json {
namespace {

TEST(LenientJson, WrongTypeCountsAsAbsent) {
    Json doc = Json::parse(R"({"n":"12","b":1,"s":5,"o":[],"l":{"a":1},"ok":true})");
    EXPECT_FALSE(number(doc, "n"));
    EXPECT_FALSE(flag(doc, "b"));
    EXPECT_FALSE(text(doc, "s"));
    EXPECT_EQ(object(doc, "o"), nullptr);
    EXPECT_TRUE(objects(doc, "l").empty());
    EXPECT_EQ(number(doc, "missing", 7.5), 7.5);
    EXPECT_EQ(text(doc, "s", "x"), "x");
    EXPECT_TRUE(flag(doc, "ok", false));
    // A container that is not an object has no members at all.
    EXPECT_FALSE(integer(Json::array({1, 2}), "0"));
}

TEST(LenientJson, IntegersAndDoublesAreBothNumbers) {
    Json doc = Json::parse(R"({"i":3,"d":3.9,"neg":-3.9,"big":1e300,"u":18446744073709551615})");
    EXPECT_EQ(number(doc, "i"), 3.0);
    EXPECT_EQ(integer(doc, "d"), 3);
    EXPECT_EQ(integer(doc, "neg"), -3);  // truncation, not flooring
    EXPECT_FALSE(integer(doc, "big"));
    EXPECT_FALSE(integer(doc, "u"));
    EXPECT_EQ(number(doc, "u").value_or(0), 18446744073709551615.0);
}

TEST(LenientJson, ListOfObjectsSkipsOtherElements) {
    Json doc = Json::parse(R"({"tracks":[{"name":"Kick"},3,"x",{"name":"Bass"},null]})");
    auto tracks = objects(doc, "tracks");
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(text(*tracks[1], "name"), "Bass");
    EXPECT_EQ(texts(Json::parse(R"({"c":["a",1,"b"]})"), "c"), (std::vector<std::string>{"a", "b"}));
}

TEST(JsonWriting, SortedKeysAndNoInvalidNumbers) {
    Json doc = {{"zeta", 1}, {"alpha", std::numeric_limits<double>::quiet_NaN()},
                {"mid", std::numeric_limits<double>::infinity()}};
    EXPECT_EQ(compact(doc), R"({"alpha":null,"mid":null,"zeta":1})");
    EXPECT_EQ(pretty(Json{{"b", 1}, {"a", 2}}), "{\n  \"a\": 2,\n  \"b\": 1\n}");
    // Every output parses back, invalid UTF-8 replaced rather than thrown.
    EXPECT_TRUE(parse(compact(doc)));
    EXPECT_TRUE(parse(compact(Json{{"name", std::string("Kick\xff")}})));
}

TEST(JsonParsing, SyntaxErrorsAndNestingBeyondTheLimitGiveNothing) {
    EXPECT_FALSE(parse("{"));
    EXPECT_FALSE(parse(""));
    auto nested = [](std::size_t depth, const std::string& inner = "") {
        return std::string(depth, '[') + inner + std::string(depth, ']');
    };
    EXPECT_TRUE(parse(nested(maximumNesting)));
    EXPECT_FALSE(parse(nested(maximumNesting + 1)));
    // Regression: a million levels exhausted the stack when written or freed.
    EXPECT_FALSE(parse(nested(1000000)));
    // Brackets inside strings, escaped quotes included, are text.
    const std::string deepText = "{\"a\":\"\\\"" + std::string(2000, '[') + "\"}";
    auto parsed = parse(deepText);
    ASSERT_TRUE(parsed);
    EXPECT_EQ((*parsed)["a"].get<std::string>().size(), 2001u);
}

}  // namespace
}  // namespace vantorel::json
