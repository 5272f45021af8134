// Number formats of the texts the producer reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantorel::format {

// Numbers in texts and command lines never follow the process locale (a
// French LC_NUMERIC writes and reads a comma).

// One decimal with a point: 124.5 → "124.5", 3 → "3.0".
std::string oneDecimal(double value);
// Without decimals when integral, else one decimal: 128 → "128", 124.5 → "124.5".
std::string number(double value);
// The whole text as a decimal number with a point ("124.5", "-3", "1e3",
// an optional leading "+"); anything else, or a value out of range, is absent.
std::optional<double> parseNumber(std::string_view text);

}  // namespace vantorel::format
