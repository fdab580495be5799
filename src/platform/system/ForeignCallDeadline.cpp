#include "platform/system/ForeignCallDeadline.hpp"

#include <sys/time.h>

#include <time.h>

namespace tarvo::platform {

namespace {

// Written once at start-up, before any foreign call; read in signal handlers.
Nanoseconds allowance = std::chrono::nanoseconds(foreignCallDeadline).count();

}  // namespace

void setForeignCallDeadline(std::chrono::seconds seconds) noexcept {
    allowance = std::chrono::nanoseconds(seconds).count();
}

Nanoseconds foreignCallAllowance() noexcept { return allowance; }

Nanoseconds steadyNow() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe, and no system call through the vDSO
    return Nanoseconds{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// ITIMER_REAL counts on the same monotonic clock, so a timer set for the time
// left never fires before the deadline. setitimer is a plain system call on
// Linux, safe in a signal handler.
void armDeadlineTimer(Nanoseconds after) noexcept {
    constexpr Nanoseconds smallest = 1000;  // zero would disarm it
    after = after < smallest ? smallest : after;
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(after / 1'000'000'000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(after % 1'000'000'000 / 1000);
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace tarvo::platform
