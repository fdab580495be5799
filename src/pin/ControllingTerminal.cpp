#include "pin/ControllingTerminal.hpp"

#include "platform/system/FileDescriptor.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tarvo {

namespace {

bool isDevice(const std::string& path, dev_t device) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
}

// /dev/tty stands for "whatever the controlling terminal is" and names nothing
// to a program that checks which terminal it was given; look for the device's
// own path, first among our standard streams, then where terminals live.
std::string deviceName(dev_t device) {
    std::array<char, PATH_MAX> buffer{};
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::ttyname_r(stream, buffer.data(), buffer.size()) == 0 && isDevice(buffer.data(), device)) {
            return buffer.data();
        }
    }
    for (const char* folder : {"/dev/pts", "/dev"}) {
        std::error_code error;
        for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
             entry.increment(error)) {
            const std::string path = entry->path().string();
            if (path != "/dev/tty" && isDevice(path, device)) {
                return path;
            }
        }
    }
    return "/dev/tty";
}

}  // namespace

std::optional<Terminal> controllingTerminal() {
    const platform::FileDescriptor tty(::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0) {
        return std::nullopt;
    }
    Terminal terminal;
    unsigned int device = 0;
    if (::ioctl(tty.get(), TIOCGDEV, &device) == 0) {
        terminal.name = deviceName(static_cast<dev_t>(device));
    } else {
        terminal.name = "/dev/tty";
    }
    if (const char* type = std::getenv("TERM")) {
        terminal.type = type;
    }
    return terminal;
}

bool displayNamed() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace tarvo
