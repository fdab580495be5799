#pragma once

#include "platform/vocabulary/SecureBytes.hpp"

namespace tarvo {

// What became of asking a person for a PIN or a password. A dialog that could
// not be shown at all is told apart from one the person cancelled: the first
// is a fault of the machine, the second a decision.
enum class PinOutcome { entered, cancelled, unavailable };

struct PinReply {
    PinOutcome outcome = PinOutcome::unavailable;
    SecureBytes pin;  // the bytes as typed (possibly none); only when entered
};

}  // namespace tarvo
