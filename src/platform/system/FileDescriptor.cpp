#include "platform/system/FileDescriptor.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tarvo::platform {

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void FileDescriptor::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool writeAll(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The reader is slow on a non-blocking pipe: wait for room.
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
