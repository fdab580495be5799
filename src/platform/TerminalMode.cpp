#include "platform/TerminalMode.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <utility>

namespace tarvo::platform {

std::optional<TerminalMode> TerminalMode::save(const std::string& device) {
    FileDescriptor terminal(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios mode{};
    if (!terminal.valid() || ::tcgetattr(terminal.get(), &mode) != 0) {
        return std::nullopt;
    }
    return TerminalMode(std::move(terminal), mode);
}

TerminalMode::~TerminalMode() {
    if (!terminal_.valid()) {
        return;
    }
    // A process outside the terminal's foreground group that changes its mode
    // is stopped with SIGTTOU, unless the signal is blocked; then the change
    // is made, and it only puts back what was there.
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &ttou, &previous);
    ::tcsetattr(terminal_.get(), TCSANOW, &mode_);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace tarvo::platform
