#include "DynamicLibrary.hpp"

#include <dlfcn.h>

#include <utility>

namespace tarvo::platform {

std::optional<DynamicLibrary> DynamicLibrary::open(const std::string& path, const ForeignCallFaults& faults) {
    void* handle = nullptr;
    {
        const ForeignCall call(faults);
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (handle == nullptr) {
        return std::nullopt;
    }
    return DynamicLibrary(handle, faults);
}

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), faults_(other.faults_) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        faults_ = other.faults_;
    }
    return *this;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

void DynamicLibrary::close() noexcept {
    if (void* handle = std::exchange(handle_, nullptr)) {
        const ForeignCall call(*faults_);
        ::dlclose(handle);
    }
}

}  // namespace tarvo::platform
