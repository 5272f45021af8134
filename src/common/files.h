// Reading and atomically replacing files.
//
// A store never leaves a half-written file: the new content goes to a
// temporary file in the same folder, is flushed to disk, then renamed over the
// old one, and the folder itself is flushed so the rename survives a crash.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel::files {

// The whole file, or nothing when it cannot be read.
std::optional<std::string> read(const std::filesystem::path& path);

// Creates the folder and its parents; throws std::filesystem::filesystem_error.
void createDirectories(const std::filesystem::path& folder);

// Replaces path with contents atomically, creating its folder first. With
// permissions (e.g. 0600) the file never exists with wider ones. Throws
// std::system_error; on failure the previous file is untouched and no
// temporary file is left behind.
void writeAtomically(const std::filesystem::path& path, std::string_view contents,
                     std::optional<mode_t> permissions = std::nullopt);

}  // namespace vantorel::files
