#pragma once

#include "platform/system/FileDescriptor.hpp"

#include <termios.h>

#include <optional>
#include <string>

namespace tarvo::platform {

// The mode of a terminal (echo, line editing, signal keys…) as it was when
// saved, put back when this goes: a text-mode program that is ended before it
// can restore the terminal itself leaves it without echo otherwise.
class TerminalMode {
public:
    // Nothing when the terminal cannot be opened or its mode not read.
    static std::optional<TerminalMode> save(const std::string& device);

    // Puts back the mode of the one saved terminal, if any, for the handler
    // of a signal that ends the process before the destructor can run.
    // Async-signal-safe.
    static void restoreSavedOnTermination() noexcept;

    ~TerminalMode();
    TerminalMode(TerminalMode&& other) noexcept = default;
    TerminalMode& operator=(TerminalMode&&) = delete;
    TerminalMode(const TerminalMode&) = delete;
    TerminalMode& operator=(const TerminalMode&) = delete;

private:
    TerminalMode(FileDescriptor terminal, const termios& mode) : terminal_(std::move(terminal)), mode_(mode) {}

    FileDescriptor terminal_;
    termios mode_{};
};

}  // namespace tarvo::platform
