#include "main/ModuleSelection.hpp"

#include "platform/system/Files.hpp"

namespace tarvo {

namespace {

// A comma-separated list of string literals, set by the build.
constexpr const char* installedModuleCandidates[] = {TARVO_DEFAULT_MODULE_PATHS};

}  // namespace

std::span<const char* const> defaultModuleCandidates() { return installedModuleCandidates; }

std::string defaultModulePath(std::span<const char* const> candidates) {
    for (const char* candidate : candidates) {
        if (platform::isRegularFile(candidate)) {
            return candidate;
        }
    }
    return candidates.front();
}

std::string chooseModulePath(const std::optional<std::string>& p11) {
    if (p11 && !p11->empty() && platform::isRegularFile(*p11)) {
        return *p11;
    }
    return defaultModulePath(defaultModuleCandidates());
}

}  // namespace tarvo
