#include "platform/OpenSslLibrary.hpp"

#include <dlfcn.h>

#include <optional>

namespace tarvo::platform {

namespace {

std::optional<OpenSslLibrary> load() {
    // The name its runtime package installs; the one without a version
    // belongs to the development package.
    void* handle = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return std::nullopt;
    }
    OpenSslLibrary library;
    bool complete = true;
#define TARVO_OPENSSL_BIND(name)                                                                                     \
    library.name = reinterpret_cast<decltype(library.name)>(::dlsym(handle, #name));                                 \
    complete = complete && library.name != nullptr;
    TARVO_OPENSSL_FUNCTIONS(TARVO_OPENSSL_BIND)
    TARVO_OPENSSL_BIND(SHA256_Init)
    TARVO_OPENSSL_BIND(SHA256_Update)
    TARVO_OPENSSL_BIND(SHA256_Final)
#undef TARVO_OPENSSL_BIND
    if (!complete) {
        ::dlclose(handle);
        return std::nullopt;
    }
    return library;
}

}  // namespace

const OpenSslLibrary* loadedOpenSsl() {
    // Written once, on first use, and only read afterwards.
    static const std::optional<OpenSslLibrary> library = load();
    return library ? &*library : nullptr;
}

}  // namespace tarvo::platform
