#pragma once

#include <chrono>

namespace tarvo {

// A point in time in UTC. Microseconds in 64 bits reach far beyond the years
// 0000 to 9999 that certificates can name (9999-12-31 is a common "no expiry").
using Instant = std::chrono::sys_time<std::chrono::microseconds>;

inline Instant currentTime() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

}  // namespace tarvo
