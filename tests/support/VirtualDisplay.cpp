#include "support/VirtualDisplay.hpp"

#include "support/Tools.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace tarvo::test {

namespace {

// The descriptor on which the server writes the number it chose.
constexpr int displayNumberFd = 3;

bool installed(const std::string& program) {
    return runTool({"sh", "-c", "command -v " + program}) == 0;
}

}  // namespace

std::string VirtualDisplay::unavailableReason() {
    for (const char* program : {"Xvfb", "xdotool", "timeout"}) {
        if (!installed(program)) {
            return std::string(program) + " is not installed (scripts/install-deps.sh installs it)";
        }
    }
    return {};
}

VirtualDisplay::VirtualDisplay() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(ends[1], displayNumberFd);  // dup2 clears close-on-exec
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ends[1]);
    // The number and a line feed, written once the server takes clients.
    std::string number;
    for (;;) {
        pollfd readable{ends[0], POLLIN, 0};
        char c = 0;
        if (::poll(&readable, 1, 30000) <= 0 || ::read(ends[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        number += c;
    }
    ::close(ends[0]);
    if (pid_ < 0 || number.empty()) {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        throw std::runtime_error("Xvfb did not start");
    }
    name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::string VirtualDisplay::xdotool(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command = {"timeout", "60", "xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return toolOutput(command, {"DISPLAY=" + name_, "LC_ALL=C.UTF-8"});
}

}  // namespace tarvo::test
