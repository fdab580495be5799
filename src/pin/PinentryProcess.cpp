#include "pin/PinentryProcess.hpp"

#include "pin/Assuan.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

extern char** environ;

namespace tarvo {

namespace {

constexpr std::size_t readAheadSize = 1024;

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
    return pipe.readEnd.get() >= 0 && pipe.writeEnd.get() >= 0;
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

    bool connect(int input, int output) {
        return ok_ && ::posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO) == 0 &&
               ::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO) == 0 &&
               ::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

// The child must not inherit our blocked SIGPIPE, nor an ignored one: a
// pinentry that writes to a vanished reader should die the ordinary way.
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
        sigset_t sigpipe;
        sigemptyset(&none);
        sigemptyset(&sigpipe);
        sigaddset(&sigpipe, SIGPIPE);
        return ok_ && ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&attributes_, &sigpipe) == 0 &&
               ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    bool ok_ = false;
};

}  // namespace

SigpipeBlock::SigpipeBlock() {
    sigset_t sigpipe;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &sigpipe, &previousMask_);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
    // A SIGPIPE that was pending before us belongs to someone else and stays.
    if (!pendingBefore_) {
        sigset_t sigpipe;
        sigemptyset(&sigpipe);
        sigaddset(&sigpipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec noWait{};
            while (::sigtimedwait(&sigpipe, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void FileDescriptor::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

PinentryProcess::PinentryProcess() : readAhead_(readAheadSize) {
    Pipe toChild;
    Pipe fromChild;
    if (!makePipe(toChild) || !makePipe(fromChild)) {
        return;
    }
    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.connect(toChild.readEnd.get(), fromChild.writeEnd.get()) || !attributes.resetSignals()) {
        return;
    }
    char program[] = "pinentry";
    char* arguments[] = {program, nullptr};
    pid_t pid = -1;
    if (::posix_spawnp(&pid, program, actions.get(), attributes.get(), arguments, environ) != 0) {
        return;
    }
    pid_ = pid;
    toChild_ = std::move(toChild.writeEnd);
    fromChild_ = std::move(fromChild.readEnd);
    // The child's ends close here, so that its exit shows as end of input.
}

PinentryProcess::~PinentryProcess() {
    // End of input tells the child to go. Our reading end stays open until it
    // has gone, so that its farewell lands in the pipe instead of killing it
    // with SIGPIPE.
    toChild_.close();
    reap();
    fromChild_.close();
}

bool PinentryProcess::send(std::string_view line) {
    if (!running() || toChild_.get() < 0) {
        return false;
    }
    std::string framed(line);
    framed += '\n';
    std::size_t written = 0;
    while (written < framed.size()) {
        const ssize_t count = ::write(toChild_.get(), framed.data() + written, framed.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

bool PinentryProcess::fill() {
    if (readPosition_ < readEnd_) {
        return true;
    }
    readAhead_.wipe();
    readPosition_ = 0;
    readEnd_ = 0;
    if (!running() || fromChild_.get() < 0) {
        return false;
    }
    for (;;) {
        const ssize_t count = ::read(fromChild_.get(), readAhead_.data(), readAhead_.size());
        if (count > 0) {
            readEnd_ = static_cast<std::size_t>(count);
            return true;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

bool PinentryProcess::receive(SecretBuffer& line) {
    line.clear();
    for (;;) {
        if (!fill()) {
            return false;
        }
        const std::uint8_t byte = readAhead_.data()[readPosition_];
        readAhead_.data()[readPosition_] = 0;
        ++readPosition_;
        if (byte == '\n') {
            // The peer may end its lines with CR LF.
            if (!line.view().empty() && line.view().back() == '\r') {
                line.dropLast();
            }
            return line.size() <= assuan::maxLineLength;
        }
        if (!line.push(byte)) {
            return false;
        }
    }
}

void PinentryProcess::reap() noexcept {
    if (pid_ <= 0) {
        return;
    }
    const pid_t pid = std::exchange(pid_, -1);
    // With its input closed a pinentry ends at once; one that does not is not
    // allowed to keep us waiting.
    constexpr int attempts = 100;
    const timespec pause{0, 10'000'000};
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid || (result < 0 && errno != EINTR)) {
            return;
        }
        if (result == 0) {
            ::nanosleep(&pause, nullptr);
        }
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace tarvo
