#include "pin/PinPrompt.hpp"

#include "pin/PinDialog.hpp"

namespace tarvo {

PinReply securePINPrompt(bool /*finalTry*/) {
    try {
        std::optional<SecureBytes> pin = runPinDialog(controllingTerminal());
        if (!pin) {
            return {PinOutcome::cancelled, {}};
        }
        return {PinOutcome::entered, std::move(*pin)};
    } catch (...) {
        // Only allocation can fail here.
        return {PinOutcome::unavailable, {}};
    }
}

}  // namespace tarvo
