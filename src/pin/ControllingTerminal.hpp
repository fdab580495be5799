#pragma once

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

}  // namespace tarvo
