#include "platform/system/AnswerChannel.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace tarvo::platform {

namespace {

int channel = STDOUT_FILENO;
std::atomic<bool> claimed{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the claim is taken in signal handlers");

}  // namespace

void setAsideAnswerChannel() noexcept {
    channel = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null < 0) {
        return;
    }
    if (null != STDOUT_FILENO) {
        ::dup2(null, STDOUT_FILENO);
    }
    // A descriptor that landed on a closed 0 or 2 stays there: a later open()
    // must not take that number and have stray output end up in its file.
    if (null > STDERR_FILENO) {
        ::close(null);
    }
}

int answerDescriptor() noexcept { return channel; }

bool claimAnswer() noexcept { return !claimed.exchange(true); }

}  // namespace tarvo::platform
