#pragma once

// The built helper started in the background, the way a robot runs it from a
// terminal: the request on a pipe to its standard input, the answer on a pipe
// from its standard output, and, when asked for, a pseudo-terminal as its
// controlling terminal, where a text-mode pinentry draws and where the test
// reads the screen and types. Without one the helper has no terminal at all.

#include "support/RunBinary.hpp"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

namespace tarvo::test {

class RunningHelper {
public:
    enum class Terminal { none, pseudo };

    RunningHelper(std::string_view request, const Environment& environment, Terminal terminal);
    ~RunningHelper();
    RunningHelper(const RunningHelper&) = delete;
    RunningHelper& operator=(const RunningHelper&) = delete;

    pid_t pid() const { return pid_; }

    // Reads the terminal until `text` has been drawn after the previous match.
    // False when the terminal closes or the patience runs out first.
    bool waitForScreen(std::string_view text, std::chrono::seconds patience = std::chrono::seconds(60));
    // Everything drawn so far, for failure messages.
    const std::string& screen() const { return screen_; }
    // Waits until the program on the terminal has turned echo off, as a PIN
    // prompt does. pinentry-tty draws its prompt first and changes the mode
    // after it, discarding what was typed in between; a person never types
    // that fast, a test does. False when the patience runs out first.
    bool waitForEchoOff(std::chrono::seconds patience = std::chrono::seconds(60));
    // Whether the terminal echoes what is typed, as a shell needs it to.
    bool echoing() const;
    // Keys as the terminal would send them ("\r" for Enter, "\x03" for Ctrl-C).
    void type(std::string_view keys);

    // Collects both outputs until the helper ends (killed when the patience
    // runs out) and reaps it. A helper that exited by itself has its answer
    // recorded for the schema check (see recordAnswer); one that a signal
    // ended has no document to check.
    RunResult finish(std::chrono::seconds patience = std::chrono::seconds(120));

private:
    bool readScreen(int milliseconds);

    std::string request_;
    pid_t pid_ = -1;
    int terminal_ = -1;  // the pseudo-terminal's master side
    int slave_ = -1;
    int output_ = -1;
    int errors_ = -1;
    std::string screen_;
    std::size_t searchFrom_ = 0;
};

}  // namespace tarvo::test
