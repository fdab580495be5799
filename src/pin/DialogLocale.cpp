#include "pin/DialogLocale.hpp"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <string_view>

namespace tarvo {

namespace {

// Whether the C library can load the locale and writes its characters in UTF-8.
// A name it cannot load (a locale that is not installed) fails in pinentry just
// the same, and a non-UTF-8 one (C, POSIX) cannot show our texts.
bool isInstalledUtf8(const char* name) {
    const locale_t locale = ::newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) {
        return false;
    }
    const bool utf8 = std::string_view(::nl_langinfo_l(CODESET, locale)) == "UTF-8";
    ::freelocale(locale);
    return utf8;
}

}  // namespace

std::string dialogLocale(const char* category) {
    constexpr const char* fallback = "C.UTF-8";
    // The order in which the C library itself looks; an empty value counts as unset.
    for (const char* variable : {"LC_ALL", category, "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return isInstalledUtf8(value) ? value : fallback;
        }
    }
    return fallback;
}

}  // namespace tarvo
