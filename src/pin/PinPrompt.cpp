#include "pin/PinPrompt.hpp"

#include "pin/ControllingTerminal.hpp"
#include "pin/PinDialog.hpp"

namespace tarvo {

namespace {

PinReply ask(const DialogTexts& texts) {
    try {
        std::optional<Terminal> terminal = controllingTerminal();
        // Nowhere to show a dialog: no pinentry is started, for one that tries
        // anyway (pinentry-tty) reports the failure as the person's cancel.
        if (!terminal && !displayNamed()) {
            return {PinOutcome::unavailable, {}};
        }
        return runPinDialog(texts, terminal);
    } catch (...) {
        // Only allocation can fail here.
        return {PinOutcome::unavailable, {}};
    }
}

}  // namespace

PinReply securePINPrompt(bool finalTry) { return ask(cardDialogTexts(finalTry)); }

PinReply storePINPrompt(const std::string& tokenName) { return ask(storeDialogTexts(tokenName)); }

}  // namespace tarvo
