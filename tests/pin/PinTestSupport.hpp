#pragma once

// Checks that every run of the PIN dialog must pass, whatever its outcome.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

namespace tarvo::test {

// Sends one of our standard streams to an anonymous file for a while and
// returns what was written there.
class StreamCapture {
public:
    explicit StreamCapture(int fd) : fd_(fd), file_(std::tmpfile()) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        if (file_ != nullptr) {
            ::dup2(::fileno(file_), fd_);
        }
    }
    ~StreamCapture() { finish(); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string finish() {
        std::string written;
        if (saved_ < 0) {
            return written;
        }
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
        if (file_ != nullptr) {
            std::rewind(file_);
            for (int c; (c = std::fgetc(file_)) != EOF;) {
                written += static_cast<char>(c);
            }
            std::fclose(file_);
            file_ = nullptr;
        }
        return written;
    }

private:
    int fd_;
    std::FILE* file_;
    int saved_ = -1;
};

// Runs the call with our standard output and error captured, then checks that
// nothing was written, that no child is left unreaped and that SIGPIPE is
// neither blocked nor pending afterwards.
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
    return result;
}

}  // namespace tarvo::test
