#include "shell/panel_geometry.h"

#include <algorithm>

namespace vantorel::shell {

Rect initialPanelFrame(std::optional<Rect> workArea) {
    const Rect area = workArea.value_or(panel::assumedWorkArea);
    Rect frame;
    frame.width = panel::width;
    frame.height = std::min(panel::height, area.height - 2 * panel::margin);
    frame.x = area.right() - panel::margin - frame.width;
    frame.y = area.y + panel::margin;
    return frame;
}

std::optional<Rect> CompactFrames::turnOn(const Rect& current) {
    if (saved_) return std::nullopt;
    saved_ = current;
    Rect compact = current;
    compact.width = std::min(current.width, panel::compactWidth);
    compact.height = std::min(current.height, panel::compactHeight);
    compact.x = current.right() - compact.width;
    return compact;
}

std::optional<Rect> CompactFrames::turnOff() {
    if (!saved_) return std::nullopt;
    auto frame = *saved_;
    saved_.reset();
    return frame;
}

}  // namespace vantorel::shell
