// Stand-ins for the desktop around the controller, shared by the controller's
// tests and its benchmarks (header-only, no test framework: the benchmarks
// link neither GoogleTest nor the rest of this folder).
#pragma once

#include "app/platform.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace vantorel::testing {

// A desktop that shows nothing. The folder chooser answers `folderToChoose`
// (nothing: cancelled); documents asked to open are recorded.
struct QuietShell : Shell {
    std::optional<std::filesystem::path> folderToChoose;
    std::vector<std::filesystem::path> opened;
    bool acceptOpen = true;
    void keepPanelVisible() override {}
    void presentPanelForLive() override {}
    void showPanelUnlessHidden() override {}
    void hidePanel() override {}
    void minimize() override {}
    void setCompact(bool) override {}
    LoginItemStatus loginItem() override { return {}; }
    bool registerLoginItem(bool) override { return true; }
    void openLoginSettings() override {}
    void chooseFolder(std::function<void(std::optional<std::filesystem::path>)> chosen) override {
        chosen(folderToChoose);
    }
    bool openDocument(const std::filesystem::path& file) override {
        opened.push_back(file);
        return acceptOpen;
    }
};

// Live always running, never launched nor quit.
struct LiveRunning : RunningApplications {
    bool isAbletonRunning() const override { return true; }
    void observe(std::function<void()>, std::function<void()>) override {}
};

}  // namespace vantorel::testing
