#include "platform/store/NssLibrary.hpp"

#include "platform/system/LibraryForTheRun.hpp"

#include <link.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace tarvo::platform {

namespace {

// The library's own name, as its package installs it; NSPR comes along as
// its dependency, and a symbol lookup on its handle searches it too.
constexpr std::string_view libraryName = "libnss3.so";

std::optional<NssLibrary> load() {
    return libraryForTheRun<NssLibrary>(libraryName.data(), [](NssLibrary& library, const auto& symbol) {
        bool complete = true;
#define TARVO_NSS_BIND(name)                                                                                         \
    library.name = reinterpret_cast<decltype(&::name)>(symbol(#name));                                               \
    complete = complete && static_cast<bool>(library.name);
        TARVO_NSS_FUNCTIONS(TARVO_NSS_BIND)
#undef TARVO_NSS_BIND
        return complete;
    });
}

// Asked of the loader's list of what it has mapped: dlopen with RTLD_NOLOAD
// would first search the library path for a library that is not loaded.
bool isMapped() {
    const auto visit = [](dl_phdr_info* info, std::size_t, void*) -> int {
        const std::string_view path = info->dlpi_name != nullptr ? info->dlpi_name : "";
        const std::size_t slash = path.rfind('/');
        return path.substr(slash == std::string_view::npos ? 0 : slash + 1) == libraryName ? 1 : 0;
    };
    return ::dl_iterate_phdr(visit, nullptr) != 0;
}

}  // namespace

const NssLibrary* loadedNss() {
    // Written once, on first use, and only read afterwards.
    static const std::optional<NssLibrary> library = load();
    return library ? &*library : nullptr;
}

const NssLibrary* initialisedNss() {
    if (!isMapped()) {
        return nullptr;
    }
    const NssLibrary* library = loadedNss();
    return library != nullptr && library->NSS_IsInitialized() == PR_TRUE ? library : nullptr;
}

}  // namespace tarvo::platform
