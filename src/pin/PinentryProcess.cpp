#include "pin/PinentryProcess.hpp"

#include "pin/Assuan.hpp"
#include "platform/system/Signals.hpp"

#include <string>

namespace tarvo {

namespace {

constexpr std::size_t readAheadSize = 1024;

// With its input closed a pinentry ends at once; one that does not is not
// allowed to keep us waiting.
constexpr std::chrono::seconds exitPatience(1);

}  // namespace

PinentryProcess::PinentryProcess() : child_("pinentry"), readAhead_(readAheadSize) {}

bool PinentryProcess::send(std::string_view line) {
    std::string framed(line);
    framed += '\n';
    return child_.write(framed);
}

bool PinentryProcess::fill(platform::Deadline deadline, Received& failure) {
    if (readPosition_ < readEnd_) {
        return true;
    }
    readAhead_.wipe();
    readPosition_ = 0;
    readEnd_ = 0;
    platform::ChildProcess::ReadResult result = child_.read({readAhead_.data(), readAhead_.size()}, deadline);
    while (result.status == platform::ChildProcess::Read::interrupted && !platform::InterruptsCaught::arrived()) {
        result = child_.read({readAhead_.data(), readAhead_.size()}, deadline);
    }
    switch (result.status) {
        case platform::ChildProcess::Read::data:
            readEnd_ = result.count;
            return true;
        case platform::ChildProcess::Read::end:
            failure = Received::ended;
            return false;
        case platform::ChildProcess::Read::timedOut:
            failure = Received::timedOut;
            return false;
        case platform::ChildProcess::Read::interrupted:
            failure = Received::interrupted;
            return false;
        case platform::ChildProcess::Read::failed:
            break;
    }
    failure = Received::broken;
    return false;
}

PinentryProcess::Received PinentryProcess::receive(SecretBuffer& line, platform::Deadline deadline) {
    line.clear();
    for (;;) {
        Received failure = Received::broken;
        if (!fill(deadline, failure)) {
            return failure;
        }
        const std::uint8_t byte = readAhead_.data()[readPosition_];
        readAhead_.data()[readPosition_] = 0;
        ++readPosition_;
        if (byte == '\n') {
            // The peer may end its lines with CR LF.
            if (!line.view().empty() && line.view().back() == '\r') {
                line.dropLast();
            }
            return line.size() <= assuan::maxLineLength ? Received::line : Received::broken;
        }
        if (!line.push(byte)) {
            return Received::broken;
        }
    }
}

void PinentryProcess::close() noexcept {
    child_.write("BYE\n");
    child_.finish(exitPatience);
}

void PinentryProcess::abandon() noexcept { child_.terminate(exitPatience); }

}  // namespace tarvo
