#include "platform/NssLibrary.hpp"

#include <dlfcn.h>

#include <optional>

namespace tarvo::platform {

namespace {

// The library's own name, as its package installs it; NSPR comes along as
// its dependency, and a symbol lookup on its handle searches it too.
constexpr const char* libraryName = "libnss3.so";

std::optional<NssLibrary> load() {
    void* handle = ::dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
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

const NssLibrary* initialisedNss() {
    // Whether the process holds the library at all is asked of the loader,
    // which does not load it for the question.
    void* present = ::dlopen(libraryName, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (present == nullptr) {
        return nullptr;
    }
    ::dlclose(present);
    const NssLibrary* library = loadedNss();
    return library != nullptr && library->NSS_IsInitialized() == PR_TRUE ? library : nullptr;
}

}  // namespace tarvo::platform
