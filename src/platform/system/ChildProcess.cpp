#include "platform/system/ChildProcess.hpp"

#include "platform/vocabulary/SecureBytes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

extern char** environ;

namespace tarvo::platform {

namespace {

// Through the system call: the C library's own header lacks C linkage in some versions.
int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int millisecondsUntil(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

// Moves a pipe end away from 0, 1 and 2: when one of our own standard streams
// is closed, a new pipe can land there, and then the child's dup2 onto that
// number would do nothing and leave the descriptor close-on-exec.
FileDescriptor aboveStandardStreams(int fd) {
    if (fd > STDERR_FILENO) {
        return FileDescriptor(fd);
    }
    FileDescriptor original(fd);
    return FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
};

bool makePipe(Pipe& pipe) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    pipe.readEnd = aboveStandardStreams(ends[0]);
    pipe.writeEnd = aboveStandardStreams(ends[1]);
    return pipe.readEnd.valid() && pipe.writeEnd.valid();
}

class SpawnActions {
public:
    SpawnActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) {
            ::posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    // The child gets its three standard streams and nothing else: a
    // descriptor that our caller left open without close-on-exec is not the
    // child's business.
    bool connect(int input, int output) {
        return ok_ && ::posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO) == 0 &&
               ::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO) == 0 &&
               ::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
               ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

// The child must not inherit our blocked SIGPIPE, nor ignored interrupt keys: a
// child that writes to a vanished reader should die the ordinary way, and one
// that talks to the person at the terminal should hear their Ctrl-C.
class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_) {
            ::posix_spawnattr_destroy(&attributes_);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool resetSignals() {
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (const int signal : {SIGPIPE, SIGINT, SIGQUIT}) {
            sigaddset(&defaults, signal);
        }
        return ok_ && ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&attributes_, &defaults) == 0 &&
               ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    bool ok_ = false;
};

// The program in the first absolute PATH entry that holds it as an executable
// file; empty when none does. An empty or relative entry names a folder that
// depends on where we were started (an empty one is the working folder): a
// program planted there must not be started, let alone given the PIN.
std::string findOnPath(std::string_view program) {
    std::string folders;
    if (const char* path = std::getenv("PATH")) {
        folders = path;
    } else {
        // Where the C library's own search looks when PATH is unset.
        std::array<char, 256> standard{};
        const std::size_t length = ::confstr(_CS_PATH, standard.data(), standard.size());
        folders = length > 0 && length <= standard.size() ? standard.data() : "/bin:/usr/bin";
    }
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string_view folder = std::string_view(folders).substr(start, end - start);
        start = end + 1;
        if (!folder.starts_with('/')) {
            continue;
        }
        std::string candidate(folder);
        candidate += '/';
        candidate += program;
        struct stat info{};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

}  // namespace

ChildProcess::ChildProcess(const char* program) {
    Pipe toChild;
    Pipe fromChild;
    SpawnActions actions;
    SpawnAttributes attributes;
    std::string name(program);
    char* arguments[] = {name.data(), nullptr};
    const std::string executable = findOnPath(name);
    pid_t pid = -1;
    if (!executable.empty() && makePipe(toChild) && makePipe(fromChild) &&
        actions.connect(toChild.readEnd.get(), fromChild.writeEnd.get()) && attributes.resetSignals() &&
        ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), arguments, environ) == 0) {
        pid_ = pid;
        pidfd_ = FileDescriptor(openPidfd(pid));
        toChild_ = std::move(toChild.writeEnd);
        fromChild_ = std::move(fromChild.readEnd);
    }
    link_.attach(pid_, pidfd_.get());
    // The child's ends close here, so that its exit shows as end of input.
}

ChildProcess::~ChildProcess() { finish(std::chrono::seconds(1)); }

bool ChildProcess::write(std::string_view bytes) {
    return running() && toChild_.valid() && writeAll(toChild_.get(), bytes.data(), bytes.size());
}

ChildProcess::ReadResult ChildProcess::read(std::span<std::uint8_t> buffer, Deadline deadline) {
    if (!running() || !fromChild_.valid()) {
        return {};
    }
    for (;;) {
        pollfd readable{fromChild_.get(), POLLIN, 0};
        const int ready = ::poll(&readable, 1, millisecondsUntil(deadline));
        if (ready == 0) {
            return {Read::timedOut, 0};
        }
        if (ready < 0) {
            return {errno == EINTR ? Read::interrupted : Read::failed, 0};
        }
        const ssize_t count = ::read(fromChild_.get(), buffer.data(), buffer.size());
        if (count > 0) {
            return {Read::data, static_cast<std::size_t>(count)};
        }
        if (count == 0) {
            return {Read::end, 0};
        }
        if (errno != EINTR) {
            return {};
        }
    }
}

void ChildProcess::finish(std::chrono::milliseconds patience) noexcept {
    if (!running()) {
        return;
    }
    toChild_.close();
    if (exitsWithin(patience)) {
        reap();
    } else {
        terminate(patience);
    }
}

void ChildProcess::terminate(std::chrono::milliseconds patience) noexcept {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (!exitsWithin(patience)) {
        ::kill(pid_, SIGKILL);
    }
    reap();
}

bool ChildProcess::exitsWithin(std::chrono::milliseconds patience) noexcept {
    const Deadline deadline = std::chrono::steady_clock::now() + patience;
    if (pidfd_.valid()) {
        for (;;) {
            pollfd exited{pidfd_.get(), POLLIN, 0};
            const int ready = ::poll(&exited, 1, millisecondsUntil(deadline));
            if (ready >= 0 || errno != EINTR) {
                return ready > 0;
            }
        }
    }
    // Without a pidfd the end of its output is the sign that it is going; what
    // it still says is dropped, and wiped, for it may be an answer we gave up on.
    std::array<std::uint8_t, 256> dropped{};
    ReadResult result;
    do {
        result = read(dropped, deadline);
    } while (result.status == Read::data);
    secureWipe(dropped.data(), dropped.size());
    siginfo_t info{};
    return result.status == Read::end &&
           ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

void ChildProcess::reap() noexcept {
    link_.detach();
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    pidfd_.close();
    toChild_.close();
    fromChild_.close();
}

}  // namespace tarvo::platform
