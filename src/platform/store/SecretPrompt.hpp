#pragma once

#include "platform/vocabulary/PinReply.hpp"

#include <functional>
#include <string>

namespace tarvo::platform {

// Asks the person at the machine for the PIN or password that the store needs
// to open the named token (a smart card registered in the store, or the
// store's own database). A prompt that throws, or none at all, counts as a
// dialog that could not be shown.
using SecretPrompt = std::function<PinReply(const std::string& tokenName)>;

}  // namespace tarvo::platform
