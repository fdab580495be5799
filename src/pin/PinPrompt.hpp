#pragma once

#include "platform/vocabulary/PinReply.hpp"

#include <string>

namespace tarvo {

// Asks the person at the machine for the card PIN in a dialog of its own.
// The PIN's bytes (an empty PIN is an answer), or why there are none. Never throws.
PinReply securePINPrompt(bool finalTry);

// Asks for the PIN or password that the certificate store needs for the named
// token (or for the store's own database). Never throws.
PinReply storePINPrompt(const std::string& tokenName);

}  // namespace tarvo
