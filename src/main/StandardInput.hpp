#pragma once

#include "platform/vocabulary/SecureBytes.hpp"

#include <optional>

namespace tarvo {

// Everything readable from the descriptor until end of file, in a buffer of
// exactly that size. The request may carry a PIN, so every buffer outgrown
// on the way is wiped before it is released. Nothing on a read error.
std::optional<SecureBytes> readToEnd(int fd);

}  // namespace tarvo
