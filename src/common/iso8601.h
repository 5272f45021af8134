// ISO 8601 dates as the stores write them: UTC, whole seconds, "Z".
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel::iso8601 {

using Clock = std::chrono::system_clock;

// "2026-12-07T04:18:36Z"; fractions of a second are dropped (rounded down).
std::string format(Clock::time_point time);
std::string now();
// Reads "YYYY-MM-DDTHH:MM:SS" followed by "Z" or an offset "+hh:mm"/"-hh:mm"
// (optionally with a fraction of a second); anything else is absent.
std::optional<Clock::time_point> parse(std::string_view text);

}  // namespace vantorel::iso8601
