#include "platform/system/Signals.hpp"

#include "platform/system/TerminalMode.hpp"

#include <poll.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <ctime>

namespace tarvo::platform {

namespace {

sigset_t only(int signal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    return set;
}

sigset_t terminationSignals() {
    sigset_t set = only(SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Read by the signal handler, hence lock-free atomics and nothing else.
std::atomic<pid_t> linkedChild{0};
std::atomic<int> linkedPidfd{-1};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// Set by the handler of the terminal's interrupt and quit keys.
volatile std::sig_atomic_t interruptArrived = 0;

extern "C" void noteInterrupt(int) { interruptArrived = 1; }

// Long enough for a text dialog to put the terminal back, short enough that
// whoever ended us does not wait for it.
constexpr int childCleanUpMilliseconds = 1000;

// Only async-signal-safe calls from here on.
extern "C" void endChildThenSelf(int signal) {
    const pid_t child = linkedChild.load();
    if (child > 0) {
        ::kill(child, SIGTERM);
        pollfd ended{linkedPidfd.load(), POLLIN, 0};
        if (ended.fd < 0 || ::poll(&ended, 1, childCleanUpMilliseconds) <= 0) {
            ::kill(child, SIGKILL);
        }
    }
    // A text dialog ended by a signal may leave the person's terminal
    // without echo; it gets the mode it had before the dialog.
    TerminalMode::restoreSavedOnTermination();
    struct sigaction defaultAction{};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    ::sigaction(signal, &defaultAction, nullptr);
    // Pending until the handler returns, then it ends us with the usual status.
    ::raise(signal);
}

// Installs the handler unless the signal was ignored; says whether it did.
bool handle(int signal, struct sigaction& previous) {
    struct sigaction action{};
    action.sa_handler = endChildThenSelf;
    action.sa_mask = terminationSignals();
    if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
        return false;
    }
    return ::sigaction(signal, &action, nullptr) == 0;
}

}  // namespace

SigpipeBlock::SigpipeBlock() {
    const sigset_t sigpipe = only(SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &sigpipe, &previousMask_);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
    // A SIGPIPE that was pending before us belongs to someone else and stays.
    if (!pendingBefore_) {
        const sigset_t sigpipe = only(SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec noWait{};
            while (::sigtimedwait(&sigpipe, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

InterruptsCaught::InterruptsCaught() {
    interruptArrived = 0;
    struct sigaction note{};
    note.sa_handler = noteInterrupt;
    sigemptyset(&note.sa_mask);
    // No SA_RESTART: the wait that the key interrupts must return.
    ::sigaction(SIGINT, &note, &previousInterrupt_);
    ::sigaction(SIGQUIT, &note, &previousQuit_);
}

bool InterruptsCaught::arrived() noexcept { return interruptArrived != 0; }

InterruptsCaught::~InterruptsCaught() {
    ::sigaction(SIGQUIT, &previousQuit_, nullptr);
    ::sigaction(SIGINT, &previousInterrupt_, nullptr);
}

TerminationLink::TerminationLink() {
    const sigset_t signals = terminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, &previousMask_);
    handlesTerminate_ = handle(SIGTERM, previousTerminate_);
    handlesHangUp_ = handle(SIGHUP, previousHangUp_);
}

void TerminationLink::attach(pid_t child, int pidfd) noexcept {
    linkedPidfd.store(pidfd);
    linkedChild.store(child);
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void TerminationLink::detach() noexcept {
    const sigset_t signals = terminationSignals();
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, &signals, &mask);
    linkedChild.store(0);
    linkedPidfd.store(-1);
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

TerminationLink::~TerminationLink() {
    // A signal that arrives while the handlers go is held until they are gone,
    // and then ends us with its usual action.
    const sigset_t signals = terminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    detach();
    if (handlesHangUp_) {
        ::sigaction(SIGHUP, &previousHangUp_, nullptr);
    }
    if (handlesTerminate_) {
        ::sigaction(SIGTERM, &previousTerminate_, nullptr);
    }
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

}  // namespace tarvo::platform
