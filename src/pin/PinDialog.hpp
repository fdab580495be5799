#pragma once

#include "pin/ControllingTerminal.hpp"
#include "platform/vocabulary/PinReply.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace tarvo {

// What a dialog shows; its two buttons are always the same. The text-mode
// pinentries never show the title, so the description starts with it.
struct DialogTexts {
    std::string title;
    std::string description;
    std::string prompt;
};

// The card's dialog, with a warning when a wrong PIN would lock the card, and
// the certificate store's for the named token.
DialogTexts cardDialogTexts(bool finalTry);
DialogTexts storeDialogTexts(const std::string& tokenName);

// How long the dialog may take. Only the tests shorten it.
struct DialogTiming {
    // pinentry gives up by itself after this long (SETTIMEOUT), as if cancelled.
    std::chrono::seconds timeout{300};
    // How long past the timeout we wait before ending a pinentry that did not keep to it.
    std::chrono::seconds grace{10};
    // How long pinentry may take to answer any other command.
    std::chrono::seconds reply{10};
};

// The whole conversation with one pinentry: greeting, options, texts, GETPIN,
// BYE. The terminal, when given, is passed on so that a text-mode pinentry can
// ask there. While it runs, the terminal's interrupt and quit keys end the
// dialog (which reads as a cancel) but not us. Never throws but for allocation.
PinReply runPinDialog(const DialogTexts& texts, const std::optional<Terminal>& terminal,
                      const DialogTiming& timing = {});

}  // namespace tarvo
