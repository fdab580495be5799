#include "support/RunBinary.hpp"

#include "platform/Base64.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
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

[[noreturn]] void execHelper(const Pipe& in, const Pipe& out, const Pipe& err, const std::vector<char*>& argv,
                             const std::vector<char*>& envp, const char* directory) {
    // The test process ignores SIGPIPE; the helper must meet the default.
    ::signal(SIGPIPE, SIG_DFL);
    if (directory != nullptr && ::chdir(directory) != 0) {
        ::_exit(127);
    }
    if (::dup2(in.read(), STDIN_FILENO) < 0 || ::dup2(out.write(), STDOUT_FILENO) < 0 ||
        ::dup2(err.write(), STDERR_FILENO) < 0) {
        ::_exit(127);
    }
    ::execve(TARVO_BINARY, argv.data(), envp.data());
    ::_exit(127);
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
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

namespace {

RunResult run(const std::vector<std::string>& arguments, std::string_view input, const Environment& environment,
              const std::filesystem::path& directory, std::chrono::seconds patience) {
    // A helper that exits before reading everything must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) {
        entries.push_back(name + "=" + value);
    }
    const std::vector<char*> envp = pointersTo(entries);
    std::vector<std::string> words = {TARVO_BINARY};
    words.insert(words.end(), arguments.begin(), arguments.end());
    const std::vector<char*> argv = pointersTo(words);

    const std::string folder = directory.string();
    Pipe in, out, err;
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        execHelper(in, out, err, argv, envp, folder.empty() ? nullptr : folder.c_str());
    }
    in.closeRead();
    out.closeWrite();
    err.closeWrite();
    if (input.empty()) {
        in.closeWrite();
    } else {
        ::fcntl(in.write(), F_SETFL, O_NONBLOCK);
    }

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool outOpen = true;
    bool errOpen = true;
    bool killed = false;
    while (outOpen || errOpen) {
        std::vector<pollfd> watched;
        if (in.write() >= 0) watched.push_back({in.write(), POLLOUT, 0});
        if (outOpen) watched.push_back({out.read(), POLLIN, 0});
        if (errOpen) watched.push_back({err.read(), POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            ::kill(child, SIGKILL);
            killed = true;
        }
        const int ready = ::poll(watched.data(), watched.size(), killed ? 1000 : static_cast<int>(left.count()));
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
            const ssize_t count = ::read(entry.fd, buffer.data(), buffer.size());
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
    return result;
}

}  // namespace

RunResult runBinary(std::string_view input, const Environment& environment, const std::filesystem::path& directory,
                    std::chrono::seconds patience) {
    const RunResult result = run({}, input, environment, directory, patience);
    recordAnswer(input, result);
    return result;
}

RunResult runBinary(const std::vector<std::string>& arguments, std::string_view input, const Environment& environment) {
    return run(arguments, input, environment, {}, std::chrono::seconds(120));
}

}  // namespace tarvo::test
