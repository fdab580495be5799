#include "support/RunningHelper.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <vector>

namespace tarvo::test {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

struct Pipe {
    Pipe() {
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
    }
    ~Pipe() {
        closeFd(ends[0]);
        closeFd(ends[1]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int ends[2] = {-1, -1};
};

int openTerminal(std::string& slaveName) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slaveName = ::ptsname(master);
    // A terminal of the classic size, as a curses program expects one.
    const winsize size{24, 80, 0, 0};
    ::ioctl(master, TIOCSWINSZ, &size);
    return master;
}

// In the child: a session of its own, the terminal (if any) as its controlling
// one, the pipes as its standard streams, and the helper in its place.
[[noreturn]] void becomeHelper(const std::string& slaveName, int input, int output, int errors, char** envp) {
    ::setsid();
    if (!slaveName.empty()) {
        const int slave = ::open(slaveName.c_str(), O_RDWR);
        if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) {
            ::_exit(126);
        }
        ::close(slave);
    }
    if (::dup2(input, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::dup2(errors, STDERR_FILENO) < 0) {
        ::_exit(126);
    }
    // The test process may ignore SIGPIPE; the helper must meet the default.
    ::signal(SIGPIPE, SIG_DFL);
    char* argv[] = {const_cast<char*>(TARVO_BINARY), nullptr};
    ::execve(TARVO_BINARY, argv, envp);
    ::_exit(127);
}

}  // namespace

RunningHelper::RunningHelper(std::string_view request, const Environment& environment, Terminal terminal)
    : request_(request) {
    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) {
        entries.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string slaveName;
    if (terminal == Terminal::pseudo) {
        terminal_ = openTerminal(slaveName);
        // Held open by us as by a shell, so that the screen stays readable
        // while no program of the helper's has the terminal open.
        slave_ = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    Pipe input, output, errors;
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        becomeHelper(slaveName, input.ends[0], output.ends[1], errors.ends[1], envp.data());
    }
    closeFd(input.ends[0]);
    std::swap(output_, output.ends[0]);
    std::swap(errors_, errors.ends[0]);
    // A request fits in the pipe, so writing it cannot wait for the reader.
    const ssize_t written = ::write(input.ends[1], request.data(), request.size());
    if (written != static_cast<ssize_t>(request.size())) {
        throw std::runtime_error("request not written");
    }
}

RunningHelper::~RunningHelper() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeFd(output_);
    closeFd(errors_);
    closeFd(terminal_);
    closeFd(slave_);
}

bool RunningHelper::readScreen(int milliseconds) {
    pollfd readable{terminal_, POLLIN, 0};
    if (terminal_ < 0 || ::poll(&readable, 1, milliseconds) <= 0) {
        return false;
    }
    std::array<char, 4096> buffer{};
    const ssize_t count = ::read(terminal_, buffer.data(), buffer.size());
    if (count <= 0) {
        return false;  // EIO once nobody holds the terminal any more
    }
    screen_.append(buffer.data(), static_cast<std::size_t>(count));
    return true;
}

bool RunningHelper::waitForScreen(std::string_view text, std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const std::size_t found = screen_.find(text, searchFrom_);
        if (found != std::string::npos) {
            searchFrom_ = found + text.size();
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readScreen(static_cast<int>(left.count()))) {
            return false;
        }
    }
}

bool RunningHelper::echoing() const {
    // The master side reports the terminal's mode as the slave side has it.
    termios mode{};
    return ::tcgetattr(terminal_, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
}

bool RunningHelper::waitForEchoOff(std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (echoing()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        readScreen(1);
    }
    return true;
}

void RunningHelper::type(std::string_view keys) {
    if (::write(terminal_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
        throw std::runtime_error("keys not sent");
    }
}

RunResult RunningHelper::finish(std::chrono::seconds patience) {
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool killed = false;
    while (output_ >= 0 || errors_ >= 0) {
        std::vector<pollfd> watched;
        for (const int fd : {output_, errors_, terminal_}) {
            if (fd >= 0) {
                watched.push_back({fd, POLLIN, 0});
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            ::kill(pid_, SIGKILL);
            killed = true;
        }
        if (::poll(watched.data(), watched.size(), killed ? 1000 : static_cast<int>(left.count())) < 0 &&
            errno != EINTR) {
            break;
        }
        for (const pollfd& entry : watched) {
            if (entry.revents == 0) {
                continue;
            }
            std::array<char, 65536> buffer{};
            const ssize_t count = ::read(entry.fd, buffer.data(), buffer.size());
            if (entry.fd == terminal_) {
                // Drained so that nothing that still draws blocks; closed once nobody holds it.
                if (count > 0) {
                    screen_.append(buffer.data(), static_cast<std::size_t>(count));
                } else {
                    closeFd(terminal_);
                }
            } else if (count > 0) {
                (entry.fd == output_ ? result.out : result.err).append(buffer.data(), static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                closeFd(entry.fd == output_ ? output_ : errors_);
            }
        }
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
        recordAnswer(request_, result);
    } else if (WIFSIGNALED(status)) {
        result.status = -WTERMSIG(status);
    }
    return result;
}

}  // namespace tarvo::test
