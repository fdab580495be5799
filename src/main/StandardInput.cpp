#include "main/StandardInput.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tarvo {

namespace {

// Moves the bytes into a fresh buffer; the old one wipes itself on release.
SecureBytes resized(const SecureBytes& buffer, std::size_t used, std::size_t size) {
    SecureBytes larger(size);
    if (used > 0) {
        std::memcpy(larger.data(), buffer.data(), used);
    }
    return larger;
}

}  // namespace

std::optional<SecureBytes> readToEnd(int fd) {
    SecureBytes buffer(4096);
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            buffer = resized(buffer, used, buffer.size() * 2);
        }
        const ssize_t count = ::read(fd, buffer.data() + used, buffer.size() - used);
        if (count > 0) {
            used += static_cast<std::size_t>(count);
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
    buffer.truncate(used);
    return buffer;
}

}  // namespace tarvo
