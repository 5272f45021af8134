// A clock that keeps counting while the machine sleeps.
//
// steady_clock (CLOCK_MONOTONIC) stops during suspend, so a mirror read just
// before the lid closed would still look fresh an hour later. Freshness, the
// undo window and deadlines are measured on CLOCK_BOOTTIME instead.
#pragma once

#include <chrono>
#include <functional>

namespace vantorel {

struct BootClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<BootClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// What the controller reads the time from; tests pass a hand-moved clock.
using BootClockSource = std::function<BootClock::time_point()>;

}  // namespace vantorel
