// Reading and atomically replacing files.
//
// A store never leaves a half-written file: the new content goes to a
// temporary file in the same folder, is flushed to disk, then renamed over the
// old one, and the folder itself is flushed so the rename survives a crash.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel::files {

// The whole file, or nothing when it cannot be read.
std::optional<std::string> read(const std::filesystem::path& path);

// Creates the folder and its parents; throws std::filesystem::filesystem_error.
void createDirectories(const std::filesystem::path& folder);

// The steps of an atomic write, in order; the crash test stops a writer after
// each one and checks that the old or the new content is there, never a mix.
enum class WriteStep { opened, written, flushed, renamed };
using WriteStepHook = std::function<void(WriteStep)>;

// Replaces path with contents atomically, creating its folder first. With
// permissions (e.g. 0600) the file never exists with wider ones. Throws
// std::system_error; on failure the previous file is untouched and no
// temporary file is left behind. `afterStep` is called after each step.
void writeAtomically(const std::filesystem::path& path, std::string_view contents,
                     std::optional<mode_t> permissions = std::nullopt, const WriteStepHook& afterStep = {});

// A writer killed before its rename leaves its hidden temporary
// (".NAME.tmp-XXXXXX") beside path for ever. A store calls this when it
// loads, removing those not modified for `olderThan`: a younger one may belong
// to another process writing the same file at this moment.
void removeStaleTemporaries(const std::filesystem::path& path,
                            std::chrono::seconds olderThan = std::chrono::seconds(60));

}  // namespace vantorel::files
