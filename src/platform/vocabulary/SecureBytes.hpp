#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <cstddef>
#include <string_view>
#include <vector>

namespace tarvo {

namespace detail {

// Storage for secret bytes on pages of its own: it starts on a page boundary,
// so no two secrets share a page and unlocking one never unlocks another.
// The pages are locked in memory where the system allows it (best effort:
// a refusal, such as a memory-lock limit, leaves them merely unlocked), left
// out of core dumps, and wiped before they are unlocked and given back.
void* allocateSecretPages(std::size_t size);  // throws std::bad_alloc
void releaseSecretPages(void* data, std::size_t size) noexcept;

template <typename T>
struct SecretAllocator {
    using value_type = T;

    SecretAllocator() = default;
    template <typename Other>
    SecretAllocator(const SecretAllocator<Other>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(allocateSecretPages(count * sizeof(T))); }
    void deallocate(T* data, std::size_t count) noexcept { releaseSecretPages(data, count * sizeof(T)); }

    template <typename Other>
    bool operator==(const SecretAllocator<Other>&) const noexcept {
        return true;
    }
};

}  // namespace detail

// A buffer for secrets (a PIN). It is sized once and never grows, so no stale
// copy is left behind by a reallocation; it is wiped with a wipe that the
// compiler cannot elide when it is dropped, and can be wiped earlier on purpose.
// Copies are explicit (copy()) so that every copy of a PIN is visible in the code.
// Its bytes live on locked pages of their own (detail::SecretAllocator).
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
    std::vector<std::uint8_t, detail::SecretAllocator<std::uint8_t>> data_;
};

// Overwrites memory in a way the optimiser may not remove.
void secureWipe(void* data, std::size_t size) noexcept;

}  // namespace tarvo
