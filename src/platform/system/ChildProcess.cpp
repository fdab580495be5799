#include "platform/system/ChildProcess.hpp"

#include "platform/system/ChildSpawning.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

namespace tarvo::platform {

namespace {

int millisecondsUntil(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

}  // namespace

ChildProcess::ChildProcess(const char* program) {
    SpawnedChild child = spawnFromPath(program);
    pid_ = child.pid;
    pidfd_ = std::move(child.pidfd);
    toChild_ = std::move(child.input);
    fromChild_ = std::move(child.output);
    link_.attach(pid_, pidfd_.get());
}

ChildProcess::~ChildProcess() { finish(std::chrono::seconds(1)); }

bool ChildProcess::write(std::string_view bytes) {
    return running() && toChild_.valid() && writeAll(toChild_.get(), bytes.data(), bytes.size());
}

ChildProcess::ReadResult ChildProcess::read(std::span<std::uint8_t> buffer, Deadline deadline) {
    if (!running() || !fromChild_.valid()) {
        return {};
    }
    for (;;) {
        pollfd readable{fromChild_.get(), POLLIN, 0};
        const int ready = ::poll(&readable, 1, millisecondsUntil(deadline));
        if (ready == 0) {
            return {Read::timedOut, 0};
        }
        if (ready < 0) {
            return {errno == EINTR ? Read::interrupted : Read::failed, 0};
        }
        const ssize_t count = ::read(fromChild_.get(), buffer.data(), buffer.size());
        if (count > 0) {
            return {Read::data, static_cast<std::size_t>(count)};
        }
        if (count == 0) {
            return {Read::end, 0};
        }
        if (errno != EINTR) {
            return {};
        }
    }
}

void ChildProcess::finish(std::chrono::milliseconds patience) noexcept {
    if (!running()) {
        return;
    }
    toChild_.close();
    if (exitsWithin(patience)) {
        reap();
    } else {
        terminate(patience);
    }
}

void ChildProcess::terminate(std::chrono::milliseconds patience) noexcept {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (!exitsWithin(patience)) {
        ::kill(pid_, SIGKILL);
    }
    reap();
}

bool ChildProcess::exitsWithin(std::chrono::milliseconds patience) noexcept {
    const Deadline deadline = std::chrono::steady_clock::now() + patience;
    if (pidfd_.valid()) {
        for (;;) {
            pollfd exited{pidfd_.get(), POLLIN, 0};
            const int ready = ::poll(&exited, 1, millisecondsUntil(deadline));
            if (ready >= 0 || errno != EINTR) {
                return ready > 0;
            }
        }
    }
    // Without a pidfd the end of its output is the sign that it is going; what
    // it still says is dropped, and wiped, for it may be an answer we gave up on.
    std::array<std::uint8_t, 256> dropped{};
    ReadResult result;
    do {
        result = read(dropped, deadline);
    } while (result.status == Read::data);
    secureWipe(dropped.data(), dropped.size());
    siginfo_t info{};
    return result.status == Read::end &&
           ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

void ChildProcess::reap() noexcept {
    link_.detach();
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    pidfd_.close();
    toChild_.close();
    fromChild_.close();
}

}  // namespace tarvo::platform
