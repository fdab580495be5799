#include "platform/system/ForeignCall.hpp"

#include "platform/system/ForeignFaultAnswer.hpp"

#include <pthread.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <cerrno>

namespace tarvo::platform {

namespace {

constexpr std::array<int, 5> crashSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Process-wide by nature: signal dispositions and the interval timer belong
// to the process, and the handlers read these.
std::atomic<const ForeignCallFaults*> active{nullptr};
static_assert(std::atomic<const ForeignCallFaults*>::is_always_lock_free, "read in signal handlers");
// When the outermost call now running began, on the steady clock.
std::atomic<Nanoseconds> callStart{0};
static_assert(std::atomic<Nanoseconds>::is_always_lock_free, "read in signal handlers");
// Whether the interval timer may still fire. It is armed once and left
// running when a call returns: the next call inherits it, and the handler
// moves it on to that call's own deadline. Arming and disarming it around
// every call cost two system calls per call.
std::atomic<bool> timerRunning{false};

// A forked child has no interval timer, whatever its parent had armed: its
// first call must arm one of its own.
void forgetTheParentsTimer() { timerRunning.store(false); }

void armTimerFor(Nanoseconds allowance) noexcept {
    static const bool childrenForgetIt = ::pthread_atfork(nullptr, nullptr, forgetTheParentsTimer) == 0;
    static_cast<void>(childrenForgetIt);
    armDeadlineTimer(allowance);
}
std::array<struct sigaction, crashSignals.size()> previousActions{};
// A module that overflows its stack still gets its answer.
alignas(16) std::array<std::byte, 64 * 1024> alternateStack{};

void onCrash(int signal, siginfo_t* info, void*) {
    const ForeignCallFaults* faults = active.load();
    if (faults != nullptr && faults->crashed != nullptr) {
        answerForeignFault(*faults->crashed);
    }
    // Not a foreign call's crash: give the signal back. A fault repeats
    // itself when we return, now into the restored handler (a sanitizer's,
    // or the default action); a signal that was sent is sent again.
    for (std::size_t i = 0; i < crashSignals.size(); ++i) {
        if (crashSignals[i] == signal) {
            ::sigaction(signal, &previousActions[i], nullptr);
        }
    }
    if (info == nullptr || info->si_code <= 0) {
        ::raise(signal);
    }
}

// The timer fires at the deadline of the call that armed it, which may have
// returned long ago: the call running now, if any, is judged by its own start,
// and the timer set again for the rest of its time.
void onDeadline(int) {
    const int savedErrno = errno;
    const ForeignCallFaults* faults = active.load();
    const Nanoseconds left = faults != nullptr ? callStart.load() + foreignCallAllowance() - steadyNow() : 0;
    if (faults != nullptr && left <= 0 && faults->notResponding != nullptr) {
        answerForeignFault(*faults->notResponding);
    }
    if (faults != nullptr && left > 0) {
        armDeadlineTimer(left);
    } else {
        // No call running (or one whose frame gives no answer for a hang):
        // the next call arms the timer afresh.
        timerRunning.store(false);
    }
    errno = savedErrno;
}

bool isOurs(int signal, void (*handler)(int, siginfo_t*, void*)) {
    struct sigaction current {};
    return ::sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
           current.sa_sigaction == handler;
}

bool isOurs(int signal, void (*handler)(int)) {
    struct sigaction current {};
    return ::sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
           current.sa_handler == handler;
}

// Checked at every outermost frame rather than once, since the foreign code
// of the call before may have changed them: whoever replaced one of our
// handlers since (a module, a crash handed on) becomes the one we hand on to.
// Reading a disposition is one system call each; they are the guard's only
// ones per call.
void installHandlers() noexcept {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
        stack_t ours{};
        ours.ss_sp = alternateStack.data();
        ours.ss_size = alternateStack.size();
        ::sigaltstack(&ours, nullptr);
    }
    struct sigaction crash {};
    crash.sa_sigaction = onCrash;
    crash.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&crash.sa_mask);
    for (std::size_t i = 0; i < crashSignals.size(); ++i) {
        if (!isOurs(crashSignals[i], onCrash)) {
            ::sigaction(crashSignals[i], &crash, &previousActions[i]);
        }
    }
    if (!isOurs(SIGALRM, onDeadline)) {
        struct sigaction expiry {};
        expiry.sa_handler = onDeadline;
        expiry.sa_flags = SA_RESTART | SA_ONSTACK;
        sigfillset(&expiry.sa_mask);
        ::sigaction(SIGALRM, &expiry, nullptr);
    }
}

}  // namespace

ForeignCall::ForeignCall(const ForeignCallFaults& faults) noexcept {
    if (active.load() != nullptr) {
        return;  // covered by the frame around it
    }
    installHandlers();
    callStart.store(steadyNow());
    const ForeignCallFaults* none = nullptr;
    outermost_ = active.compare_exchange_strong(none, &faults);
    if (outermost_ && !timerRunning.exchange(true)) {
        armTimerFor(foreignCallAllowance());
    }
}

ForeignCall::~ForeignCall() {
    if (outermost_) {
        active.store(nullptr);
    }
}

ForeignCallback::ForeignCallback() noexcept {
    // With no frame active, an expiry meanwhile stops the timer instead of
    // charging the callback's time to the foreign code.
    suspended_ = active.exchange(nullptr);
    if (suspended_ != nullptr) {
        elapsed_ = steadyNow() - callStart.load();
    }
}

ForeignCallback::~ForeignCallback() {
    if (suspended_ == nullptr) {
        return;
    }
    // Whatever replaced our handlers while our code ran is handed on to again.
    installHandlers();
    // The frame resumes with the time it had left, as though it had begun
    // that much later. A timer still running fires no later than that and is
    // moved on by the handler; a stopped one is armed for the rest.
    callStart.store(steadyNow() - elapsed_);
    active.store(suspended_);
    if (!timerRunning.exchange(true)) {
        armTimerFor(foreignCallAllowance() - elapsed_);
    }
}

}  // namespace tarvo::platform
