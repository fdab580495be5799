#pragma once

#include "platform/PinReply.hpp"

namespace tarvo {

// Asks the person at the machine for the card PIN in a dialog of its own.
// The PIN's bytes (an empty PIN is an answer), or why there are none. Never throws.
PinReply securePINPrompt(bool finalTry);

}  // namespace tarvo
