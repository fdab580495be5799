#pragma once

#include <chrono>
#include <cstdint>

namespace tarvo::platform {

// How long one foreign call may take.
inline constexpr std::chrono::seconds foreignCallDeadline{60};

// Set once at start-up; test builds of the helper give less time.
void setForeignCallDeadline(std::chrono::seconds deadline) noexcept;

// The time that the guard of foreign calls keeps, in nanoseconds; each of
// these is safe in a signal handler.
using Nanoseconds = std::int64_t;

// The deadline as set, for one call.
Nanoseconds foreignCallAllowance() noexcept;

// Now, on the monotonic clock.
Nanoseconds steadyNow() noexcept;

// Has SIGALRM raised once that much time has passed, replacing any earlier setting.
void armDeadlineTimer(Nanoseconds after) noexcept;

}  // namespace tarvo::platform
