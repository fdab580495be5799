#include "platform/vocabulary/SecureBytes.hpp"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace tarvo {

namespace detail {

void* allocateSecretPages(std::size_t size) {
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    void* data = nullptr;
    if (::posix_memalign(&data, pageSize > 0 ? static_cast<std::size_t>(pageSize) : 4096, size) != 0) {
        throw std::bad_alloc();
    }
    ::mlock(data, size);
    // Left out of any core dump, should the process become dumpable again.
    ::madvise(data, size, MADV_DONTDUMP);
    return data;
}

void releaseSecretPages(void* data, std::size_t size) noexcept {
    secureWipe(data, size);
    // The pages go back to the heap and may hold anything from now on.
    ::madvise(data, size, MADV_DODUMP);
    ::munlock(data, size);
    std::free(data);
}

}  // namespace detail

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size > 0) {
        ::explicit_bzero(data, size);  // a store the compiler may not drop as dead
    }
}

SecureBytes::SecureBytes(std::size_t size) : data_(size, 0) {}

SecureBytes::SecureBytes(ByteView bytes) : data_(bytes.begin(), bytes.end()) {}

SecureBytes::SecureBytes(std::string_view text)
    : data_(reinterpret_cast<const std::uint8_t*>(text.data()),
            reinterpret_cast<const std::uint8_t*>(text.data()) + text.size()) {}

SecureBytes::~SecureBytes() { wipe(); }

SecureBytes::SecureBytes(SecureBytes&& other) noexcept : data_(std::move(other.data_)) {
    other.data_.clear();
}

SecureBytes& SecureBytes::operator=(SecureBytes&& other) noexcept {
    if (this != &other) {
        wipe();
        data_ = std::move(other.data_);
        other.data_.clear();
    }
    return *this;
}

void SecureBytes::wipe() noexcept { secureWipe(data_.data(), data_.size()); }

void SecureBytes::truncate(std::size_t size) noexcept {
    if (size < data_.size()) {
        secureWipe(data_.data() + size, data_.size() - size);
        data_.resize(size);
    }
}

}  // namespace tarvo
