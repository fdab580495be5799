#include "platform/AnswerChannel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

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

bool writeAll(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The caller reads slowly from a non-blocking pipe: wait for room.
            // A hang-up or an error shows in the next write.
            pollfd room{fd, POLLOUT, 0};
            if (::poll(&room, 1, -1) < 0 && errno != EINTR) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace tarvo::platform
