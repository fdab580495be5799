#include "platform/ForeignCall.hpp"

#include "platform/AnswerChannel.hpp"
#include "platform/FileDescriptor.hpp"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

namespace tarvo::platform {

namespace {

constexpr int answeredStatus = 0;
constexpr int failedStatus = 2;
constexpr std::array<int, 5> crashSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Process-wide by nature: signal dispositions and the interval timer belong
// to the process, and the handlers read these.
std::atomic<const ForeignCallFaults*> active{nullptr};
static_assert(std::atomic<const ForeignCallFaults*>::is_always_lock_free, "read in signal handlers");
std::array<struct sigaction, crashSignals.size()> previousActions{};
std::atomic<const std::string*> standInLeading{nullptr};
std::atomic<const std::string*> standInTrailing{nullptr};
std::chrono::seconds deadline = foreignCallDeadline;
// A module that overflows its stack still gets its answer.
alignas(16) std::array<std::byte, 64 * 1024> alternateStack{};

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

ForeignCallback::ForeignCallback() noexcept {
    // The timer first: an expiry between the two steps still finds its frame.
    itimerval stopped{};
    itimerval left{};
    if (active.load() == nullptr || ::setitimer(ITIMER_REAL, &stopped, &left) != 0) {
        return;
    }
    remainingMicroseconds_ = static_cast<long>(left.it_value.tv_sec) * 1'000'000L + left.it_value.tv_usec;
    suspended_ = active.exchange(nullptr);
}

ForeignCallback::~ForeignCallback() {
    if (suspended_ == nullptr) {
        return;
    }
    // Whatever replaced our handlers while our code ran is handed on to again.
    installHandlers();
    active.store(suspended_);
    itimerval resumed{};
    // A deadline that had already passed when the callback began is due at once.
    const long microseconds = remainingMicroseconds_ > 0 ? remainingMicroseconds_ : 1;
    resumed.it_value.tv_sec = static_cast<time_t>(microseconds / 1'000'000L);
    resumed.it_value.tv_usec = static_cast<suseconds_t>(microseconds % 1'000'000L);
    ::setitimer(ITIMER_REAL, &resumed, nullptr);
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
