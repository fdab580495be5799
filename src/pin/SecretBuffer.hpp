#pragma once

#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <cstddef>
#include <cstdint>

namespace tarvo {

// Collects bytes that may be a PIN. The storage is allocated once at its full
// capacity, so filling it never leaves a stale copy behind, and whatever was
// collected is wiped on clear() and when the buffer is dropped.
class SecretBuffer {
public:
    explicit SecretBuffer(std::size_t capacity) : storage_(capacity) {}

    // False, and nothing stored, when the buffer is full.
    bool push(std::uint8_t byte) noexcept {
        if (size_ == storage_.size()) {
            return false;
        }
        storage_.data()[size_++] = byte;
        return true;
    }

    void dropLast() noexcept {
        if (size_ > 0) {
            storage_.data()[--size_] = 0;
        }
    }

    void clear() noexcept {
        secureWipe(storage_.data(), size_);
        size_ = 0;
    }

    ByteView view() const noexcept { return {storage_.data(), size_}; }
    std::size_t size() const noexcept { return size_; }

private:
    SecureBytes storage_;
    std::size_t size_ = 0;
};

}  // namespace tarvo
