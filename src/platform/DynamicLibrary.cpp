#include "DynamicLibrary.hpp"

#include <dlfcn.h>

#include <utility>

namespace tarvo::platform {

std::optional<DynamicLibrary> DynamicLibrary::open(const std::string& path) {
    // dlopen searches for a name without a slash; one with a slash is taken as it is.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return std::nullopt;
    }
    return DynamicLibrary(handle);
}

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

void DynamicLibrary::close() noexcept {
    if (void* handle = std::exchange(handle_, nullptr)) {
        ::dlclose(handle);
    }
}

}  // namespace tarvo::platform
