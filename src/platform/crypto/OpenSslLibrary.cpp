#include "platform/crypto/OpenSslLibrary.hpp"

#include "platform/system/LibraryForTheRun.hpp"

#include <optional>

namespace tarvo::platform {

namespace {

std::optional<OpenSslLibrary> load() {
    // The name its runtime package installs; the one without a version
    // belongs to the development package.
    return libraryForTheRun<OpenSslLibrary>("libcrypto.so.3", [](OpenSslLibrary& library, const auto& symbol) {
        bool complete = true;
#define TARVO_OPENSSL_BIND(name)                                                                                     \
    library.name = reinterpret_cast<decltype(library.name)>(symbol(#name));                                          \
    complete = complete && library.name != nullptr;
        TARVO_OPENSSL_FUNCTIONS(TARVO_OPENSSL_BIND)
        TARVO_OPENSSL_BIND(SHA256_Init)
        TARVO_OPENSSL_BIND(SHA256_Update)
        TARVO_OPENSSL_BIND(SHA256_Final)
#undef TARVO_OPENSSL_BIND
        return complete;
    });
}

}  // namespace

const OpenSslLibrary* loadedOpenSsl() {
    // Written once, on first use, and only read afterwards.
    static const std::optional<OpenSslLibrary> library = load();
    return library ? &*library : nullptr;
}

}  // namespace tarvo::platform
