#include "certificate/DateText.hpp"

#include <cstdint>
#include <cstdio>

namespace tarvo {

namespace {

// Division that rounds towards negative infinity, so that instants before
// 1970 land on the right day and millisecond.
std::int64_t floorDivide(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

}  // namespace

std::string dateText(Instant instant) {
    const std::int64_t micros = instant.time_since_epoch().count();
    std::int64_t millis = floorDivide(micros, 1000);
    if (micros - millis * 1000 >= 500) {
        ++millis;  // half a millisecond and more rounds up
    }
    constexpr std::int64_t millisPerDay = 86'400'000;
    const std::int64_t days = floorDivide(millis, millisPerDay);
    const std::int64_t ofDay = millis - days * millisPerDay;

    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{days}}};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(ofDay / 3'600'000), static_cast<int>(ofDay / 60'000 % 60),
                  static_cast<int>(ofDay / 1000 % 60), static_cast<int>(ofDay % 1000));
    return text;
}

}  // namespace tarvo
