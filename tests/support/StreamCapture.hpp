#pragma once

// Sends one of our standard streams to an anonymous file for a while and
// returns what was written there, to prove that code under test stays silent.

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tarvo::test {

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

    // Puts the stream back; later calls return nothing.
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

}  // namespace tarvo::test
