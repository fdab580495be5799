#include "pin/PinDialog.hpp"

#include <cstdlib>

namespace tarvo {

std::string dialogLocale(const char* category) {
    // The order in which the C library itself looks; an empty value counts as unset.
    for (const char* variable : {"LC_ALL", category, "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "C.UTF-8";
}

}  // namespace tarvo
