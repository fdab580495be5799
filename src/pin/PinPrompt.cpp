#include "pin/PinPrompt.hpp"

#include "pin/PinDialog.hpp"

namespace tarvo {

namespace {

PinReply ask(const DialogTexts& texts) {
    try {
        std::optional<SecureBytes> pin = runPinDialog(texts, controllingTerminal());
        if (!pin) {
            return {PinOutcome::cancelled, {}};
        }
        return {PinOutcome::entered, std::move(*pin)};
    } catch (...) {
        // Only allocation can fail here.
        return {PinOutcome::unavailable, {}};
    }
}

}  // namespace

PinReply securePINPrompt(bool finalTry) { return ask(cardDialogTexts(finalTry)); }

PinReply storePINPrompt(const std::string& tokenName) { return ask(storeDialogTexts(tokenName)); }

}  // namespace tarvo
