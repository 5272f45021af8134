// Launch at login through the desktop's autostart folder: one entry,
// $XDG_CONFIG_HOME/autostart/vantorel.desktop, whose Exec is the running
// executable. The entry counts as ours and enabled only when its Exec names
// this executable and neither Hidden=true nor X-GNOME-Autostart-enabled=false
// turns it off (a desktop's settings app switches entries off that way).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel::shell::autostart {

// $XDG_CONFIG_HOME/autostart/vantorel.desktop (~/.config when unset).
std::filesystem::path entryFile();

// The Exec value for a program path: quoted, with `"`, `` ` ``, `$` and `\`
// escaped inside the quotes, `%` doubled, then escaped as a string value.
std::string execValue(const std::filesystem::path& program);
// The program named by an Exec value written as above (or a bare path);
// nothing when the value is not a single program.
std::optional<std::filesystem::path> programOf(std::string_view exec);

// The whole entry for a program.
std::string entryText(const std::filesystem::path& program);

bool isEnabled(const std::filesystem::path& program);
// Writes or removes the entry; false when the folder cannot be written.
bool setEnabled(const std::filesystem::path& program, bool enabled);

}  // namespace vantorel::shell::autostart
