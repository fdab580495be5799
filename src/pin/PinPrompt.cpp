#include "pin/PinPrompt.hpp"

#include "pin/PinDialog.hpp"

namespace tarvo {

std::optional<SecureBytes> securePINPrompt() {
    try {
        return runPinDialog(controllingTerminal());
    } catch (...) {
        // Only allocation can fail here; no dialog is the one answer the caller
        // expects from a prompt that did not work.
        return std::nullopt;
    }
}

}  // namespace tarvo
