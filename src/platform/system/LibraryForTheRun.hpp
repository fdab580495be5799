#pragma once

#include <dlfcn.h>

#include <optional>

namespace tarvo::platform {

// Opens a library of the system for the rest of the run and lets `bind` take
// its entry points through a lookup by name. Nothing when it cannot be opened
// or `bind` finds one missing; it is then closed again. Such a library is
// never unloaded: what it set up stays valid until the process ends.
template <typename Binding, typename Bind>
std::optional<Binding> libraryForTheRun(const char* name, Bind bind) {
    void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return std::nullopt;
    }
    Binding binding;
    const auto symbol = [handle](const char* entry) { return ::dlsym(handle, entry); };
    if (!bind(binding, symbol)) {
        ::dlclose(handle);
        return std::nullopt;
    }
    return binding;
}

}  // namespace tarvo::platform
