#include "platform/NssLibrary.hpp"

#include <dlfcn.h>

#include <optional>

namespace tarvo::platform {

namespace {

std::optional<NssLibrary> load() {
    // The library's own name, as its package installs it; NSPR comes along as
    // its dependency, and a symbol lookup on this handle searches it too.
    void* handle = ::dlopen("libnss3.so", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return std::nullopt;
    }
    NssLibrary library;
    bool complete = true;
#define TARVO_NSS_BIND(name)                                                                                         \
    library.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));                                      \
    complete = complete && static_cast<bool>(library.name);
    TARVO_NSS_FUNCTIONS(TARVO_NSS_BIND)
#undef TARVO_NSS_BIND
    if (!complete) {
        ::dlclose(handle);
        return std::nullopt;
    }
    return library;
}

}  // namespace

const NssLibrary* loadedNss() {
    // Written once, on first use, and only read afterwards.
    static const std::optional<NssLibrary> library = load();
    return library ? &*library : nullptr;
}

}  // namespace tarvo::platform
