#pragma once

#include "platform/vocabulary/PinReply.hpp"

#include <chrono>
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

// Whether our environment names a display (DISPLAY or WAYLAND_DISPLAY, not
// empty) on which a graphical pinentry could open its window.
bool displayNamed();

// The locale that pinentry should draw its texts in: what our environment names
// for the category (LC_ALL, then the category's own variable, then LANG) when
// that is a UTF-8 locale installed on this machine, and "C.UTF-8" otherwise
// (none named, C or POSIX, a locale that is not installed), for our texts are
// UTF-8 and a curses pinentry without such a locale refuses to draw them.
std::string dialogLocale(const char* category);

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
