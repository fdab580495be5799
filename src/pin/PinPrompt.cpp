#include "pin/PinPrompt.hpp"

#include "pin/PinDialog.hpp"

namespace tarvo {

namespace {

PinReply ask(const DialogTexts& texts) {
    try {
        return runPinDialog(texts, controllingTerminal());
    } catch (...) {
        // Only allocation can fail here.
        return {PinOutcome::unavailable, {}};
    }
}

}  // namespace

PinReply securePINPrompt(bool finalTry) { return ask(cardDialogTexts(finalTry)); }

PinReply storePINPrompt(const std::string& tokenName) { return ask(storeDialogTexts(tokenName)); }

}  // namespace tarvo
