// Numeric-aware ordering of version strings: runs of digits compare as
// numbers, so "0.17.9" < "0.17.10" < "0.18".
#pragma once

#include <string_view>

namespace vantorel::version {

// Negative when a sorts before b, zero when equal, positive after.
int compare(std::string_view a, std::string_view b);
inline bool isOlder(std::string_view version, std::string_view minimum) { return compare(version, minimum) < 0; }

}  // namespace vantorel::version
