// Where the panel goes and how compact mode resizes it, as pure arithmetic
// over rectangles so that it can be checked without a display.
#pragma once

#include <optional>

namespace vantorel::shell {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    int right() const { return x + width; }
    bool operator==(const Rect&) const = default;
};

namespace panel {
inline constexpr int width = 438;
inline constexpr int height = 720;
inline constexpr int margin = 24;  // from the right and top of the work area
inline constexpr int minimumWidth = 390, minimumHeight = 560;
inline constexpr int maximumWidth = 600, maximumHeight = 900;
inline constexpr int compactWidth = 390, compactHeight = 440;
inline constexpr Rect assumedWorkArea{0, 0, 1440, 900};
}  // namespace panel

// The panel's first frame in a monitor's work area (the assumed 1440 × 900
// one when there is no monitor): 24 px from its right and top edges, the
// height clamped to the work area less 48.
Rect initialPanelFrame(std::optional<Rect> workArea);

// Compact mode. On saves the frame once and shrinks to at most 390 × 440
// keeping the top-right corner; off restores the saved frame. Each returns
// the frame to move to, or nothing when there is nothing to do.
class CompactFrames {
public:
    std::optional<Rect> turnOn(const Rect& current);
    std::optional<Rect> turnOff();
    bool active() const { return saved_.has_value(); }
    // The minimum height while compact mode is on.
    int minimumHeight() const { return active() ? panel::compactHeight : panel::minimumHeight; }

private:
    std::optional<Rect> saved_;
};

}  // namespace vantorel::shell
