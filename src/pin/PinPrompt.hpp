#pragma once

#include "platform/SecureBytes.hpp"

#include <optional>

namespace tarvo {

// Asks the person at the machine for the card PIN in a dialog of its own.
// The PIN's bytes (an empty PIN is an answer), or absent when the dialog was
// cancelled or could not be shown. Never throws.
std::optional<SecureBytes> securePINPrompt();

}  // namespace tarvo
