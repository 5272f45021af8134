// Number formats of the texts the producer reads.
#pragma once

#include <string>

namespace vantorel::format {

// One decimal with a point, "%.1f": 124.5 → "124.5", 3 → "3.0".
std::string oneDecimal(double value);
// Without decimals when integral, else one decimal: 128 → "128", 124.5 → "124.5".
std::string number(double value);

}  // namespace vantorel::format
