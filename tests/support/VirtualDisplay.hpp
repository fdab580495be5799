#pragma once

// A private X display (Xvfb) for the tests of a graphical pinentry, and
// xdotool to act on it as the person at the screen would. The server picks a
// free display number itself, so test runs side by side never share one.

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvo::test {

class VirtualDisplay {
public:
    // Why the display cannot be had here (Xvfb or xdotool missing); empty when it can.
    static std::string unavailableReason();

    // Starts the server and waits until it takes clients; throws when it does not.
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // What DISPLAY names it by, such as ":3".
    const std::string& name() const { return name_; }

    // Runs xdotool with these arguments on this display, for at most a minute
    // (a search with --sync waits until the window shows), and returns what it
    // printed; throws when it fails.
    std::string xdotool(const std::vector<std::string>& arguments) const;

private:
    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace tarvo::test
