// The small picture of the open project that rides along a technical answer:
// track count, tracks with content, arrangement length, sections, dominant
// roles and the selected track. Pure data drawn by the page; built only when
// the question is about the project and the live context can describe it.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace vantorel {

// At most this many roles, most frequent first.
inline constexpr std::size_t kVisualRoleLimit = 8;

// The picture for question over the live context (only its projectAnalysis
// is read), or nothing when the question names no project topic or the
// context has no tracks.
std::optional<nlohmann::json> projectVisualPayload(std::string_view question, const nlohmann::json& context);

}  // namespace vantorel
