#pragma once

// Checks that every run of the PIN dialog must pass, whatever its outcome.

#include "support/StreamCapture.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace tarvo::test {

// Runs the call with our standard output and error captured, then checks that
// nothing was written, that no child is left unreaped, that SIGPIPE is
// neither blocked nor pending afterwards, and that the signals the dialog
// handles or ignores meanwhile have their default actions back.
template <typename Call>
auto cleanCall(Call call) {
    StreamCapture out(STDOUT_FILENO);
    StreamCapture err(STDERR_FILENO);
    auto result = call();
    const std::string written = out.finish();
    const std::string complained = err.finish();
    EXPECT_EQ(written, "");
    EXPECT_EQ(complained, "");

    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "a child process was left behind";

    sigset_t mask;
    sigset_t pending;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    ::sigpending(&pending);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0) << "SIGPIPE left blocked";
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "SIGPIPE left pending";
    for (const int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        struct sigaction action{};
        ::sigaction(signal, nullptr, &action);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << "signal " << signal << " left handled or ignored";
        EXPECT_EQ(sigismember(&mask, signal), 0) << "signal " << signal << " left blocked";
    }
    return result;
}

}  // namespace tarvo::test
