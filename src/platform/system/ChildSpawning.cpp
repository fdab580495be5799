#include "platform/system/ChildSpawning.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

extern char** environ;

namespace tarvo::platform {

namespace {

// Through the system call: the C library's own header lacks C linkage in some versions.
int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

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

SpawnedChild spawnFromPath(const char* program) {
    SpawnedChild child;
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
        child.pid = pid;
        child.pidfd = FileDescriptor(openPidfd(pid));
        child.input = std::move(toChild.writeEnd);
        child.output = std::move(fromChild.readEnd);
    }
    return child;
}

}  // namespace tarvo::platform
