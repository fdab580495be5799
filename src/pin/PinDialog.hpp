#pragma once

#include "platform/SecureBytes.hpp"

#include <optional>
#include <string>

namespace tarvo {

// The terminal that a text-mode pinentry should draw on.
struct Terminal {
    std::string name;  // device path
    std::string type;  // TERM; empty when unknown
};

// Our controlling terminal, if the process has one. A robot connects our
// standard streams to pipes, so they cannot name it.
std::optional<Terminal> controllingTerminal();

// What a dialog shows; its two buttons are always the same.
struct DialogTexts {
    std::string title;
    std::string description;
    std::string prompt;
};

// The card's dialog, and the certificate store's for the named token.
DialogTexts cardDialogTexts(bool finalTry);
DialogTexts storeDialogTexts(const std::string& tokenName);

// The whole conversation with one pinentry: greeting, texts, GETPIN, BYE. The
// terminal, when given, is passed on so that a text-mode pinentry can ask there.
std::optional<SecureBytes> runPinDialog(const DialogTexts& texts, const std::optional<Terminal>& terminal);

}  // namespace tarvo
