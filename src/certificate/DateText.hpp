#pragma once

#include "platform/vocabulary/Time.hpp"

#include <string>

namespace tarvo {

// YYYY-MM-DDTHH:MM:SS.mmmZ in UTC, milliseconds rounded half up.
std::string dateText(Instant instant);

}  // namespace tarvo
