#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <optional>
#include <string>

namespace tarvo {

// The serial number's content bytes, last to first, as upper-case hex pairs.
std::optional<std::string> serialNumber(ByteView der);

}  // namespace tarvo
