#pragma once

#include "pin/SecretBuffer.hpp"
#include "platform/system/ChildProcess.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <chrono>
#include <cstddef>
#include <string_view>

namespace tarvo {

// The `pinentry` program found on PATH, as the server side of an Assuan
// conversation: lines out, lines in.
class PinentryProcess {
public:
    PinentryProcess();
    PinentryProcess(const PinentryProcess&) = delete;
    PinentryProcess& operator=(const PinentryProcess&) = delete;

    // False when the program could not be started.
    bool running() const noexcept { return child_.running(); }

    // Writes the line and a line feed. False when the child no longer reads.
    bool send(std::string_view line);

    // `interrupted`: the terminal's interrupt or quit key was pressed (see
    // platform::InterruptsCaught).
    enum class Received { line, ended, timedOut, interrupted, broken };
    // Replaces the buffer's contents with the next line, without its ending.
    // `broken` for a read error or a line over the protocol's length limit or
    // the buffer's capacity (give it room for a CR).
    Received receive(SecretBuffer& line, platform::Deadline deadline);

    // Says goodbye and lets it exit; one that lingers is ended.
    void close() noexcept;
    // Ends it without a word, for it has stopped answering.
    void abandon() noexcept;

private:
    bool fill(platform::Deadline deadline, Received& failure);

    platform::ChildProcess child_;
    SecureBytes readAhead_;  // may hold PIN bytes, hence wiped
    std::size_t readPosition_ = 0;
    std::size_t readEnd_ = 0;
};

}  // namespace tarvo
