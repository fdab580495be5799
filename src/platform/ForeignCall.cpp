#include "platform/ForeignCall.hpp"

#include "platform/AnswerChannel.hpp"
#include "platform/FileDescriptor.hpp"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tarvo::platform {

namespace {

constexpr int failedStatus = 2;
constexpr std::array<int, 5> crashSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Process-wide by nature: signal dispositions and the interval timer belong
// to the process, and the handlers read these.
std::atomic<const ForeignCallFaults*> active{nullptr};
static_assert(std::atomic<const ForeignCallFaults*>::is_always_lock_free, "read in signal handlers");
std::array<struct sigaction, crashSignals.size()> previousActions{};
std::chrono::seconds deadline = foreignCallDeadline;
// A module that overflows its stack still gets its answer.
alignas(16) std::array<std::byte, 64 * 1024> alternateStack{};

[[noreturn]] void answerAndExit(const EmergencyAnswer& answer) noexcept {
    if (claimAnswer()) {
        writeAll(answerDescriptor(), answer.data(), answer.size());
    }
    ::_exit(failedStatus);
}

void onCrash(int signal, siginfo_t* info, void*) {
    const ForeignCallFaults* faults = active.load();
    if (faults != nullptr && faults->crashed != nullptr) {
        answerAndExit(*faults->crashed);
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

void onDeadline(int) {
    const int savedErrno = errno;
    const ForeignCallFaults* faults = active.load();
    if (faults != nullptr && faults->notResponding != nullptr) {
        answerAndExit(*faults->notResponding);
    }
    // A deadline that expired just as its call returned: nothing to do.
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

// Checked at every frame rather than once: whoever replaced one of our
// handlers since (a module, a crash handed on) becomes the one we hand on to.
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

void setTimer(std::chrono::seconds after) noexcept {
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(after.count());
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace

void setForeignCallDeadline(std::chrono::seconds seconds) noexcept { deadline = seconds; }

ForeignCall::ForeignCall(const ForeignCallFaults& faults) noexcept {
    installHandlers();
    const ForeignCallFaults* none = nullptr;
    outermost_ = active.compare_exchange_strong(none, &faults);
    if (outermost_) {
        setTimer(deadline);
    }
}

ForeignCall::~ForeignCall() {
    if (outermost_) {
        setTimer(std::chrono::seconds::zero());
        active.store(nullptr);
    }
}

}  // namespace tarvo::platform
