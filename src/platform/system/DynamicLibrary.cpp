#include "platform/system/DynamicLibrary.hpp"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <utility>

namespace tarvo::platform {

std::optional<DynamicLibrary> DynamicLibrary::open(const std::string& path, const ForeignCallFaults& faults) {
    // dlopen searches for a name without a slash; one with a slash is taken as it is.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = nullptr;
    {
        const ForeignCall call(faults);
        handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
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
    void* address = handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
    if (address == nullptr) {
        return nullptr;
    }
    // dlsym also searches the libraries this one depends on; a symbol that
    // one of them exports is not this library's own.
    Dl_info definedIn{};
    link_map* self = nullptr;
    if (::dladdr(address, &definedIn) == 0 || definedIn.dli_fname == nullptr ||
        ::dlinfo(handle_, RTLD_DI_LINKMAP, &self) != 0 || self == nullptr ||
        std::strcmp(definedIn.dli_fname, self->l_name) != 0) {
        return nullptr;
    }
    return address;
}

void DynamicLibrary::close() noexcept {
    if (void* handle = std::exchange(handle_, nullptr)) {
        const ForeignCall call(*faults_);
        ::dlclose(handle);
    }
}

}  // namespace tarvo::platform
