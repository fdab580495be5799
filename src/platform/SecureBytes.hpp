#pragma once

#include "Bytes.hpp"

#include <cstddef>
#include <string_view>

namespace tarvo {

// A buffer for secrets (a PIN). It is sized once and never grows, so no stale
// copy is left behind by a reallocation; it is wiped with a wipe that the
// compiler cannot elide when it is dropped, and can be wiped earlier on purpose.
// Copies are explicit (copy()) so that every copy of a PIN is visible in the code.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(std::size_t size);
    explicit SecureBytes(ByteView bytes);
    explicit SecureBytes(std::string_view text);
    ~SecureBytes();

    SecureBytes(SecureBytes&& other) noexcept;
    SecureBytes& operator=(SecureBytes&& other) noexcept;
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;

    SecureBytes copy() const { return SecureBytes(view()); }

    std::uint8_t* data() noexcept { return data_.data(); }
    const std::uint8_t* data() const noexcept { return data_.data(); }
    std::size_t size() const noexcept { return data_.size(); }
    bool empty() const noexcept { return data_.empty(); }
    ByteView view() const noexcept { return {data_.data(), data_.size()}; }

    // Overwrites every byte with zero; the size stays.
    void wipe() noexcept;
    // Keeps only the first `size` bytes, wiping the rest; never reallocates.
    void truncate(std::size_t size) noexcept;

private:
    Bytes data_;
};

// Overwrites memory in a way the optimiser may not remove.
void secureWipe(void* data, std::size_t size) noexcept;

}  // namespace tarvo
