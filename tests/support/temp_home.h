// A private home folder for one test: HOME, the XDG folders and TMPDIR point
// into a fresh temporary folder for the test's lifetime, so nothing a test
// does touches the developer's own files.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vantorel::testing {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path appData() const { return root_ / ".local/share/Vantorel"; }

private:
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Writes text to a file, creating its folders.
void writeText(const std::filesystem::path& path, const std::string& text);
std::string readText(const std::filesystem::path& path);

}  // namespace vantorel::testing
