#pragma once

#include <sys/types.h>

#include <signal.h>

namespace tarvo::platform {

// Keeps SIGPIPE from ending the process while we write to a child that may
// already be gone. The signal is blocked rather than ignored so that the rest of
// the process keeps its own disposition; one that our writes raise is taken off
// the pending set before the old mask comes back.
class SigpipeBlock {
public:
    SigpipeBlock();
    ~SigpipeBlock();
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t previousMask_{};
    bool pendingBefore_ = false;
};

// The terminal's interrupt and quit keys (SIGINT, SIGQUIT) do not end the
// process while this lives; they are noted instead, and interrupt a blocking
// wait (which then fails with EINTR), so that the waiter can end what it was
// waiting for. The earlier dispositions come back afterwards. A caught signal
// is reset to its default action in a program that is executed meanwhile.
class InterruptsCaught {
public:
    InterruptsCaught();
    ~InterruptsCaught();
    InterruptsCaught(const InterruptsCaught&) = delete;
    InterruptsCaught& operator=(const InterruptsCaught&) = delete;

    // Whether one of the keys was pressed since the newest of these was made.
    static bool arrived() noexcept;

private:
    struct sigaction previousInterrupt_{};
    struct sigaction previousQuit_{};
};

// Makes a child go with us when SIGTERM or SIGHUP ends the process: the handler
// asks the child to terminate, gives it a moment to clean up (a text dialog
// restores the terminal), kills it if it is still there, puts back the
// terminal mode saved for the dialog (see TerminalMode), and then lets the
// signal end us the ordinary way. Signals that were ignored when the link was
// made stay ignored: they do not end us, so nothing is left behind.
//
// The signals are blocked from construction until attach(), so that one
// arriving while the child is being started cannot miss it. One child at a time.
class TerminationLink {
public:
    TerminationLink();
    ~TerminationLink();
    TerminationLink(const TerminationLink&) = delete;
    TerminationLink& operator=(const TerminationLink&) = delete;

    // The child to end, and a pidfd that tells when it has (-1 when there is
    // none); unblocks the signals.
    void attach(pid_t child, int pidfd) noexcept;
    // Forgets the child before it is reaped and its number can be reused.
    void detach() noexcept;

private:
    sigset_t previousMask_{};
    struct sigaction previousTerminate_{};
    struct sigaction previousHangUp_{};
    bool handlesTerminate_ = false;
    bool handlesHangUp_ = false;
};

}  // namespace tarvo::platform
