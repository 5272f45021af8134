// JSON nested deeper than any message of this protocol is refused before it
// is parsed: writing (and freeing) such a document recurses once per level,
// and a single hostile line must not be able to exhaust the stack.
#pragma once

#include <cstddef>
#include <string_view>

namespace vantorel::mcp {

inline constexpr std::size_t maximumNesting = 512;

// Whether arrays and objects in text nest at most `limit` deep; strings are
// skipped, so brackets inside them do not count. Says nothing of validity.
bool nestingWithin(std::string_view text, std::size_t limit = maximumNesting);

}  // namespace vantorel::mcp
