#include "platform/system/ForeignCall.hpp"

#include "platform/system/AnswerChannel.hpp"
#include "platform/system/FileDescriptor.hpp"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

namespace tarvo::platform {

namespace {

constexpr int answeredStatus = 0;
constexpr int failedStatus = 2;
constexpr std::array<int, 5> crashSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
using Nanoseconds = std::int64_t;

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
std::array<struct sigaction, crashSignals.size()> previousActions{};
std::atomic<const std::string*> standInLeading{nullptr};
std::atomic<const std::string*> standInTrailing{nullptr};
Nanoseconds deadline = std::chrono::nanoseconds(foreignCallDeadline).count();
// A module that overflows its stack still gets its answer.
alignas(16) std::array<std::byte, 64 * 1024> alternateStack{};

Nanoseconds steadyNow() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe, and no system call through the vDSO
    return Nanoseconds{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// ITIMER_REAL counts on the same monotonic clock, so a timer set for the time
// left never fires before the deadline. setitimer is a plain system call on
// Linux, safe in a signal handler.
void armTimer(Nanoseconds after) noexcept {
    constexpr Nanoseconds smallest = 1000;  // zero would disarm it
    after = after < smallest ? smallest : after;
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(after / 1'000'000'000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(after % 1'000'000'000 / 1000);
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

[[noreturn]] void answerAndExit(const EmergencyAnswer& answer) noexcept {
    const std::string* leading = standInLeading.load();
    const std::string* trailing = standInTrailing.load();
    if (leading != nullptr && trailing != nullptr) {
        const bool delivered = claimAnswer() && writeAll(answerDescriptor(), leading->data(), leading->size()) &&
                               writeAll(answerDescriptor(), answer.message(), answer.messageSize()) &&
                               writeAll(answerDescriptor(), trailing->data(), trailing->size());
        ::_exit(delivered ? answeredStatus : failedStatus);
    }
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

// The timer fires at the deadline of the call that armed it, which may have
// returned long ago: the call running now, if any, is judged by its own start,
// and the timer set again for the rest of its time.
void onDeadline(int) {
    const int savedErrno = errno;
    const ForeignCallFaults* faults = active.load();
    const Nanoseconds left = faults != nullptr ? callStart.load() + deadline - steadyNow() : 0;
    if (faults != nullptr && left <= 0 && faults->notResponding != nullptr) {
        answerAndExit(*faults->notResponding);
    }
    if (faults != nullptr && left > 0) {
        armTimer(left);
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

void setForeignCallDeadline(std::chrono::seconds seconds) noexcept {
    deadline = std::chrono::nanoseconds(seconds).count();
}

ForeignCall::ForeignCall(const ForeignCallFaults& faults) noexcept {
    if (active.load() != nullptr) {
        return;  // covered by the frame around it
    }
    installHandlers();
    callStart.store(steadyNow());
    const ForeignCallFaults* none = nullptr;
    outermost_ = active.compare_exchange_strong(none, &faults);
    if (outermost_ && !timerRunning.exchange(true)) {
        armTimer(deadline);
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
        armTimer(deadline - elapsed_);
    }
}

ForeignFaultStandIn::ForeignFaultStandIn(std::string leading, std::string trailing) noexcept
    : leading_(std::move(leading)), trailing_(std::move(trailing)) {
    standInTrailing.store(&trailing_);
    standInLeading.store(&leading_);
}

ForeignFaultStandIn::~ForeignFaultStandIn() {
    standInLeading.store(nullptr);
    standInTrailing.store(nullptr);
}

}  // namespace tarvo::platform
