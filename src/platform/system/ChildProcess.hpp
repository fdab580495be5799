#pragma once

#include "platform/system/FileDescriptor.hpp"
#include "platform/system/Signals.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tarvo::platform {

using Deadline = std::chrono::steady_clock::time_point;

// A program found on PATH (its absolute entries only), run as our child and
// spoken to over two pipes: its standard input and output. Its error output
// goes to /dev/null: whatever it has to say must not reach the caller's
// streams. It inherits no other descriptor. It starts with no signal
// blocked and with the default actions for SIGPIPE, SIGINT and SIGQUIT, which we
// may block or ignore meanwhile. While it runs, a SIGTERM or SIGHUP that ends us
// ends it too (TerminationLink). The destructor ends and reaps it on every path.
class ChildProcess {
public:
    explicit ChildProcess(const char* program);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False when the program could not be started, and once it has been reaped.
    bool running() const noexcept { return pid_ > 0; }

    // Writes every byte. False when the child no longer reads.
    bool write(std::string_view bytes);

    // `interrupted`: a signal handler ran while waiting; the caller decides
    // whether to wait on.
    enum class Read { data, end, timedOut, interrupted, failed };
    struct ReadResult {
        Read status = Read::failed;
        std::size_t count = 0;  // bytes placed in the buffer; only with Read::data
    };
    // Waits until the child has written something, has closed its output, or
    // the deadline has passed.
    ReadResult read(std::span<std::uint8_t> buffer, Deadline deadline);

    // Closes the child's input, which tells a well-behaved child to go, and
    // waits up to `patience` for it to exit; then asks it to terminate, waits as
    // long again, kills it, and reaps it.
    void finish(std::chrono::milliseconds patience) noexcept;
    // The same without waiting for it to go by itself.
    void terminate(std::chrono::milliseconds patience) noexcept;

private:
    bool exitsWithin(std::chrono::milliseconds patience) noexcept;
    void reap() noexcept;

    SigpipeBlock sigpipe_;  // first in, last out: covers the writes of the final farewell
    TerminationLink link_;
    pid_t pid_ = -1;
    FileDescriptor pidfd_;  // readable once the child has exited; absent on kernels without pidfd_open
    FileDescriptor toChild_;
    FileDescriptor fromChild_;
};

}  // namespace tarvo::platform
