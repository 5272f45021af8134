// The app's resources (the web page, the bridge package), found the same way
// from the build tree, from a copy shipped next to the executables and from an
// installed prefix.
#pragma once

#include <filesystem>
#include <optional>

namespace vantorel::resources {

// The folder of the running executable, when the kernel tells it.
std::optional<std::filesystem::path> executableFolder();

// The first of <exe>/resources, <exe>/../share/vantorel and the source tree's
// resources/ that exists; the source tree's when none does, so the error a
// caller reports names a real place.
std::filesystem::path folder();

}  // namespace vantorel::resources
