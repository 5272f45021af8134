#include "common/resources.h"

#include <system_error>

namespace vantorel::resources {

std::optional<std::filesystem::path> executableFolder() {
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || exe.empty()) return std::nullopt;
    return exe.parent_path();
}

std::filesystem::path folder() {
    const std::filesystem::path sourceTree = VANTOREL_RESOURCES_DIR;
    if (auto exe = executableFolder()) {
        for (const auto& candidate : {*exe / "resources", *exe / ".." / "share" / "vantorel"}) {
            std::error_code error;
            if (std::filesystem::is_directory(candidate, error)) return candidate.lexically_normal();
        }
    }
    return sourceTree;
}

}  // namespace vantorel::resources
