#pragma once

#include <cstddef>

namespace tarvo::platform {

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
    bool valid() const noexcept { return fd_ >= 0; }
    void close() noexcept;

private:
    int fd_ = -1;
};

// Writes every byte, retrying after interruptions and waiting while a
// non-blocking descriptor is full. False when not all of it could be
// written: a closed or full descriptor, or a reader that has gone away
// (which needs SIGPIPE ignored or blocked). Safe in a signal handler.
bool writeAll(int fd, const char* data, std::size_t size) noexcept;

}  // namespace tarvo::platform
