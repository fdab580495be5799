#include "support/RunBinary.hpp"

#include "platform/vocabulary/Base64.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tarvo::test {

namespace {

class Pipe {
public:
    Pipe() {
        if (::pipe2(fds_.data(), O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int read() const { return fds_[0]; }
    int write() const { return fds_[1]; }
    void closeRead() { closeEnd(0); }
    void closeWrite() { closeEnd(1); }

private:
    void closeEnd(int end) {
        if (fds_[end] >= 0) {
            ::close(fds_[end]);
            fds_[end] = -1;
        }
    }
    std::array<int, 2> fds_{-1, -1};
};

bool isSanitizerSetting(const std::string& entry) {
    for (const char* prefix : {"ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS="}) {
        if (entry.starts_with(prefix)) return true;
    }
    return false;
}

constexpr int smallestPipe = 4096;

// Descriptor 1 of the helper as the output mode asks; false when it could not be set up.
bool connectOutput(Output output, const Pipe& out) {
    switch (output) {
        case Output::pipe:
        case Output::readerGone:
        case Output::slowFullPipe:
            return ::dup2(out.write(), STDOUT_FILENO) >= 0;
        case Output::devFull: {
            const int full = ::open("/dev/full", O_WRONLY);
            return full >= 0 && ::dup2(full, STDOUT_FILENO) >= 0;
        }
        case Output::closed:
            return ::close(STDOUT_FILENO) == 0;
    }
    return false;
}

[[noreturn]] void execHelper(const RunOptions& options, const Pipe& in, const Pipe& out, const Pipe& err,
                             const std::vector<char*>& envp) {
    // The test process ignores SIGPIPE; the helper must meet the default.
    ::signal(SIGPIPE, SIG_DFL);
    if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) {
        ::_exit(127);
    }
    if (::dup2(in.read(), STDIN_FILENO) < 0 || ::dup2(err.write(), STDERR_FILENO) < 0 ||
        !connectOutput(options.output, out)) {
        ::_exit(127);
    }
    if (options.inChild) {
        options.inChild();
    }
    std::vector<char*> argv = {const_cast<char*>(options.binary.c_str())};
    for (const std::string& argument : options.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    ::execve(options.binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
}

// Whether reading the helper's output pipe may begin: at once, except for
// the slow reader, which waits until the pipe is full or the helper is done.
bool outputReadable(Output output, int readEnd, bool helperDone) {
    if (output != Output::slowFullPipe || helperDone) {
        return true;
    }
    int queued = 0;
    return ::ioctl(readEnd, FIONREAD, &queued) == 0 && queued >= smallestPipe;
}

}  // namespace

// One line per run in a single append, so that test processes running side by
// side never interleave their lines.
void recordAnswer(std::string_view request, const RunResult& result) {
    const char* record = std::getenv("TARVO_ANSWER_RECORD");
    if (record == nullptr || *record == '\0') {
        return;
    }
    const std::string line = "{\"request\":\"" + base64Encode(Bytes(request.begin(), request.end())) +
                             "\",\"status\":" + std::to_string(result.status) + ",\"answer\":\"" +
                             base64Encode(Bytes(result.out.begin(), result.out.end())) + "\"}\n";
    const int fd = ::open(record, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot open the answer record ") + record);
    }
    const ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size())) {
        throw std::runtime_error(std::string("cannot append to the answer record ") + record);
    }
}

Environment helperEnvironment(const std::string& home) {
    Environment environment{{"HOME", home}};
    if (const char* path = std::getenv("PATH")) {
        environment["PATH"] = path;
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (isSanitizerSetting(text)) {
            const auto equals = text.find('=');
            environment[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    return environment;
}

RunResult runBinary(std::string_view input, const Environment& environment, const std::filesystem::path& directory,
                    std::chrono::seconds patience) {
    RunOptions options;
    options.directory = directory;
    options.patience = patience;
    return runBinary(input, environment, options);
}

RunResult runBinary(std::string_view input, const Environment& environment, const RunOptions& options) {
    const std::string_view request = input;
    // A helper that exits before reading everything must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) {
        entries.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    Pipe in, out, err;
    if (options.output == Output::slowFullPipe &&
        (::fcntl(out.write(), F_SETPIPE_SZ, smallestPipe) != smallestPipe ||
         ::fcntl(out.write(), F_SETFL, O_NONBLOCK) != 0)) {
        throw std::runtime_error("cannot make a small non-blocking pipe");
    }
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        execHelper(options, in, out, err, envp);
    }
    in.closeRead();
    out.closeWrite();
    err.closeWrite();
    bool outOpen = options.output == Output::pipe || options.output == Output::slowFullPipe;
    if (!outOpen) {
        out.closeRead();
    }
    if (input.empty()) {
        in.closeWrite();
    } else {
        ::fcntl(in.write(), F_SETFL, O_NONBLOCK);
    }
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + options.patience;
    bool errOpen = true;
    bool killed = false;
    bool toldRunning = !options.whileRunning;
    bool draining = false;  // once reading has begun, it goes on
    while (outOpen || errOpen) {
        if (!toldRunning && in.write() < 0) {
            toldRunning = true;
            options.whileRunning(child);
        }
        draining = draining || (outOpen && outputReadable(options.output, out.read(), !errOpen));
        const bool readOut = outOpen && draining;
        std::vector<pollfd> watched;
        if (in.write() >= 0) watched.push_back({in.write(), POLLOUT, 0});
        if (readOut) watched.push_back({out.read(), POLLIN, 0});
        if (errOpen) watched.push_back({err.read(), POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            ::kill(child, SIGKILL);
            killed = true;
        }
        int wait = killed ? 1000 : static_cast<int>(left.count());
        if (outOpen && !readOut) {
            wait = std::min(wait, 10);  // until the pipe is full
        }
        const int ready = ::poll(watched.data(), watched.size(), wait);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (const auto& entry : watched) {
            if (entry.revents == 0) continue;
            if (entry.fd == in.write()) {
                const ssize_t written = ::write(in.write(), input.data(), input.size());
                if (written > 0) {
                    input.remove_prefix(static_cast<std::size_t>(written));
                }
                if ((written < 0 && errno != EAGAIN && errno != EINTR) || input.empty()) {
                    in.closeWrite();
                }
                continue;
            }
            std::array<char, 65536> buffer{};
            const std::size_t piece = options.output == Output::slowFullPipe ? 256 : buffer.size();
            const ssize_t count = ::read(entry.fd, buffer.data(), entry.fd == out.read() ? piece : buffer.size());
            if (count > 0) {
                (entry.fd == out.read() ? result.out : result.err).append(buffer.data(), static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                (entry.fd == out.read() ? outOpen : errOpen) = false;
            }
        }
    }
    in.closeWrite();

    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = -WTERMSIG(status);
    }
    // Output that went nowhere, an answer to an option, or a helper that a
    // signal ended (the test's own or the patience's) leaves no protocol
    // document to check.
    const bool wholeOutput = options.output == Output::pipe || options.output == Output::slowFullPipe;
    if (wholeOutput && options.arguments.empty() && result.status >= 0) {
        recordAnswer(request, result);
    }
    return result;
}

}  // namespace tarvo::test
