#pragma once

#include "platform/system/ForeignCall.hpp"

#include <optional>
#include <string>

namespace tarvo::platform {

// A shared library loaded with RTLD_NOW | RTLD_LOCAL and unloaded (dlclose)
// exactly once, when the last owner lets go of it. Move-only. Loading and
// unloading run the library's own constructors and destructors, so both are
// framed as foreign calls with the faults given.
class DynamicLibrary {
public:
    // Loads exactly the file at the path: a name without a slash is the file
    // of that name in the current folder, never one the loader would find by
    // searching its library path. Nothing when the loader refuses it.
    static std::optional<DynamicLibrary> open(const std::string& path, const ForeignCallFaults& faults);

    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // The address of a symbol the library itself exports, or null. One that
    // only a library it depends on exports does not count.
    void* symbol(const char* name) const;
    void* handle() const { return handle_; }

    // Unloads now; later calls and the destructor do nothing.
    void close() noexcept;

private:
    DynamicLibrary(void* handle, const ForeignCallFaults& faults) : handle_(handle), faults_(&faults) {}
    void* handle_ = nullptr;
    const ForeignCallFaults* faults_ = nullptr;
};

}  // namespace tarvo::platform
