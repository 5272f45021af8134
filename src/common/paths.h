// Where Vantorel keeps its files on Linux, resolved from HOME and the XDG
// variables each time they are asked for (so a test can point them at a
// temporary home).
//
//   application support   $XDG_DATA_HOME (when absolute) or ~/.local/share
//   the app's folder      <application support>/Vantorel
//   preferences           $XDG_CONFIG_HOME (or ~/.config)/Vantorel/preferences.json
//   temporary folder      $TMPDIR or /tmp
//   Live's Remote Scripts ~/Music/Ableton/User Library/Remote Scripts
#pragma once

#include <filesystem>

namespace vantorel::paths {

std::filesystem::path home();
std::filesystem::path applicationSupport();
std::filesystem::path appData();
std::filesystem::path bridgeConfiguration();
std::filesystem::path configHome();
std::filesystem::path preferencesFile();
std::filesystem::path temporary();
std::filesystem::path runtime();
std::filesystem::path userLibrary();
std::filesystem::path remoteScripts();

}  // namespace vantorel::paths
