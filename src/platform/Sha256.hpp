#pragma once

#include "Bytes.hpp"

#include <array>
#include <cstdint>

namespace tarvo::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(ByteView bytes);

}  // namespace tarvo::platform
