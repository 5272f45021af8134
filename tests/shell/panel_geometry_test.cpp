#include "shell/panel_geometry.h"

#include <gtest/gtest.h>

namespace vantorel::shell {
namespace {

TEST(PanelGeometry, FirstFrameSitsInTheTopRightOfTheWorkArea) {
    struct Case {
        const char* label;
        std::optional<Rect> workArea;
        Rect expected;
    };
    const Case cases[] = {
        {"1440x900", Rect{0, 0, 1440, 900}, Rect{978, 24, 438, 720}},
        {"no monitor", std::nullopt, Rect{978, 24, 438, 720}},
        {"1366x768 with a top bar", Rect{0, 27, 1366, 741}, Rect{904, 51, 438, 693}},
        {"1366x768", Rect{0, 0, 1366, 768}, Rect{904, 24, 438, 720}},
        {"primary right of another monitor", Rect{1920, 0, 2560, 1440}, Rect{4018, 24, 438, 720}},
        {"primary left of and below origin", Rect{-1280, 200, 1280, 1024}, Rect{-462, 224, 438, 720}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(initialPanelFrame(c.workArea), c.expected);
    }
}

TEST(PanelGeometry, CompactKeepsTheTopRightCornerAndTheFirstSavedFrame) {
    CompactFrames compact;
    EXPECT_EQ(compact.turnOff(), std::nullopt) << "off without a saved frame does nothing";
    EXPECT_EQ(compact.minimumHeight(), 560);

    const Rect expanded{978, 24, 438, 720};
    auto small = compact.turnOn(expanded);
    ASSERT_TRUE(small);
    EXPECT_EQ(*small, (Rect{1026, 24, 390, 440}));
    EXPECT_EQ(small->right(), expanded.right());
    EXPECT_EQ(compact.minimumHeight(), 440);

    EXPECT_EQ(compact.turnOn(*small), std::nullopt) << "on twice keeps the first frame";
    EXPECT_EQ(compact.turnOff(), expanded);
    EXPECT_EQ(compact.turnOff(), std::nullopt);
}

TEST(PanelGeometry, CompactNeverGrowsASmallerPanel) {
    CompactFrames compact;
    EXPECT_EQ(compact.turnOn(Rect{100, 50, 380, 400}), (Rect{100, 50, 380, 400}));
}

}  // namespace
}  // namespace vantorel::shell
