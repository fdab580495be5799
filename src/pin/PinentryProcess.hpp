#pragma once

#include "pin/SecretBuffer.hpp"
#include "platform/SecureBytes.hpp"

#include <sys/types.h>

#include <signal.h>

#include <cstddef>
#include <string_view>

namespace tarvo {

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

// An owned file descriptor, closed once.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    void close() noexcept;

private:
    int fd_ = -1;
};

// The `pinentry` program found on PATH, talking to us over two pipes. Its error
// output goes to /dev/null: whatever it has to say must not reach the caller's
// streams. The destructor closes the pipes and reaps the child on every path.
class PinentryProcess {
public:
    PinentryProcess();
    ~PinentryProcess();
    PinentryProcess(const PinentryProcess&) = delete;
    PinentryProcess& operator=(const PinentryProcess&) = delete;

    // False when the program could not be started.
    bool running() const noexcept { return pid_ > 0; }

    // Writes the line and a line feed. False when the child no longer reads.
    bool send(std::string_view line);

    // Replaces the buffer's contents with the next line, without its ending.
    // False at end of input, on a read error, or for a line over the protocol's
    // length limit or the buffer's capacity (give it room for a CR).
    bool receive(SecretBuffer& line);

private:
    bool fill();
    void reap() noexcept;

    SigpipeBlock sigpipe_;  // first in, last out: covers the writes in the destructor's wake
    pid_t pid_ = -1;
    FileDescriptor toChild_;
    FileDescriptor fromChild_;
    SecureBytes readAhead_;  // may hold PIN bytes, hence wiped
    std::size_t readPosition_ = 0;
    std::size_t readEnd_ = 0;
};

}  // namespace tarvo
