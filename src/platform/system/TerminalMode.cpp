#include "platform/system/TerminalMode.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <utility>

namespace tarvo::platform {

namespace {

// The saved mode as a signal handler reads it: the descriptor is published
// after the mode is written and withdrawn before the terminal is closed.
termios modeForTermination{};
std::atomic<int> terminalForTermination{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");

// A process outside the terminal's foreground group that changes its mode is
// stopped with SIGTTOU, unless the signal is blocked; then the change is
// made, and it only puts back what was there.
void putBack(int terminal, const termios& mode) noexcept {
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &ttou, &previous);
    ::tcsetattr(terminal, TCSANOW, &mode);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

std::optional<TerminalMode> TerminalMode::save(const std::string& device) {
    FileDescriptor terminal(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios mode{};
    if (!terminal.valid() || ::tcgetattr(terminal.get(), &mode) != 0) {
        return std::nullopt;
    }
    modeForTermination = mode;
    terminalForTermination.store(terminal.get());
    return TerminalMode(std::move(terminal), mode);
}

void TerminalMode::restoreSavedOnTermination() noexcept {
    const int terminal = terminalForTermination.load();
    if (terminal >= 0) {
        putBack(terminal, modeForTermination);
    }
}

TerminalMode::~TerminalMode() {
    if (!terminal_.valid()) {
        return;
    }
    terminalForTermination.store(-1);
    putBack(terminal_.get(), mode_);
}

}  // namespace tarvo::platform
