#include "platform/system/Files.hpp"

#include <sys/stat.h>

namespace tarvo::platform {

bool isRegularFile(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace tarvo::platform
