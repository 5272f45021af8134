// Small value formats: UUIDs, ISO 8601 dates, version order, number texts.
#include "common/format.h"
#include "common/iso8601.h"
#include "common/uuid.h"
#include "common/version.h"

#include <gtest/gtest.h>

#include <set>

namespace vantorel {
namespace {

TEST(Uuid, CanonicalVersion4Forms) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string id = uuid::upper();
        ASSERT_EQ(id.size(), 36u);
        for (std::size_t at : {8u, 13u, 18u, 23u}) EXPECT_EQ(id[at], '-');
        EXPECT_EQ(id[14], '4');
        EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos);
        for (char c : id) EXPECT_TRUE(c == '-' || std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'));
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
    std::string lower = uuid::lower();
    for (char c : lower) EXPECT_FALSE(c >= 'A' && c <= 'F');
}

TEST(Iso8601, FormatsUtcWholeSecondsAndParsesWhatItWritesAndOffsets) {
    auto point = iso8601::Clock::time_point(std::chrono::milliseconds(1796617116999LL));
    EXPECT_EQ(iso8601::format(point), "2026-12-07T04:18:36Z");
    EXPECT_EQ(iso8601::format(iso8601::Clock::time_point{}), "1970-01-01T00:00:00Z");
    auto parsed = iso8601::parse("2026-12-07T04:58:36Z");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(iso8601::format(*parsed), "2026-12-07T04:58:36Z");
    auto offset = iso8601::parse("2026-12-07T05:58:36+01:00");
    ASSERT_TRUE(offset);
    EXPECT_EQ(*offset, *parsed);
    auto leap = iso8601::parse("2024-02-29T23:59:59.5Z");
    ASSERT_TRUE(leap);
    EXPECT_EQ(iso8601::format(*leap), "2024-02-29T23:59:59Z");
    for (const char* bad : {"", "2026-12-07", "2026-12-07T04:58:36", "2026-13-07T04:58:36Z", "2026-12-07T04:58:36Zx",
                            "2026-12-07 04:58:36Z", "2026-12-07T04:58:36+0100",
                            // Regression: impossible days rolled over into the next month (30 February read as 2 March).
                            "2026-02-30T00:00:00Z", "2026-02-29T00:00:00Z", "2026-04-31T12:00:00Z", "2026-12-00T00:00:00Z"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(iso8601::parse(bad));
    }
}

// Regression: dates past 2262 wrapped into another century.
TEST(Iso8601, DatesTheClockCannotHoldAreAbsentNotWrapped) {
    for (const char* held : {"1700-01-01T00:00:00Z", "2200-06-30T12:00:00Z"}) {
        auto parsed = iso8601::parse(held);
        ASSERT_TRUE(parsed) << held;
        EXPECT_EQ(iso8601::format(*parsed), held);
    }
    for (const char* beyond : {"0001-01-01T00:00:00Z", "1600-01-01T00:00:00Z", "2300-01-01T00:00:00Z",
                               "9999-12-31T23:59:59.999Z"}) {
        EXPECT_FALSE(iso8601::parse(beyond)) << beyond;
    }
}

TEST(VersionOrder, DigitRunsCompareAsNumbers) {
    struct Row {
        const char* a;
        const char* b;
        int expected;
    } rows[] = {
        {"0.17.9", "0.17.10", -1}, {"0.17.10", "0.17.10", 0}, {"0.18", "0.17.10", 1},  {"0.17.10", "0.17.9", 1},
        {"1.0", "1.0.1", -1},      {"0.017.10", "0.17.10", 0}, {"", "0.1", -1},         {"0.17.10a", "0.17.10", 1},
        {"99999999999999999999", "100000000000000000000", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
        int order = version::compare(row.a, row.b);
        EXPECT_EQ((order > 0) - (order < 0), row.expected);
    }
    EXPECT_TRUE(version::isOlder("0.17.9", "0.17.10"));
    EXPECT_FALSE(version::isOlder("0.18", "0.17.10"));
}

TEST(NumberText, IntegralWithoutDecimalsElseOne) {
    EXPECT_EQ(format::number(128), "128");
    EXPECT_EQ(format::number(124.5), "124.5");
    EXPECT_EQ(format::number(-6), "-6");
    EXPECT_EQ(format::number(-0.0), "0");
    EXPECT_EQ(format::oneDecimal(3), "3.0");
    EXPECT_EQ(format::oneDecimal(-0.0), "0.0");
}

}  // namespace
}  // namespace vantorel
