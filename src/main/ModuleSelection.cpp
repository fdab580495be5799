#include "main/ModuleSelection.hpp"

#include "card/ModulePath.hpp"

#include <sys/stat.h>

namespace tarvo {

bool fileExistsAtPath(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void selectModulePath(const std::optional<std::string>& p11) {
    if (p11 && !p11->empty() && fileExistsAtPath(*p11)) {
        p11ModulePath = *p11;
    }
}

}  // namespace tarvo
