#include "support/Tools.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <stdexcept>

extern char** environ;

namespace tarvo::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

// Runs the program with its standard output going to `output` (a file path) and nothing else.
int spawnTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
              const char* output) {
    // A variable given here replaces the inherited one of that name: a
    // program reads the first it finds, and a SOFTHSM2_CONF of the person who
    // runs the tests must not send the fixtures' tokens into their own store.
    const auto givenHere = [&](std::string_view entry) {
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(environment.begin(), environment.end(),
                           [&](const std::string& given) { return given.starts_with(name); });
    };
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!givenHere(*entry)) {
            envStrings.emplace_back(*entry);
        }
    }
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& entry : envStrings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string commandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& word : argv) {
        line += word + " ";
    }
    return line;
}

}  // namespace

int runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    return spawnTool(argv, environment, "/dev/null");
}

std::string toolOutput(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    const TempDir folder;
    const std::string file = (folder.path() / "output").string();
    if (spawnTool(argv, environment, file.c_str()) != 0) {
        throw std::runtime_error("failed: " + commandLine(argv));
    }
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void runToolChecked(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    if (runTool(argv, environment) != 0) {
        throw std::runtime_error("failed: " + commandLine(argv));
    }
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    writeFile(path, Bytes(text.begin(), text.end()));
}

std::string hex(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

bool processEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    // The name is in parentheses and may hold spaces; the state follows the last one.
    std::string line;
    if (!std::getline(stat, line)) {
        return true;
    }
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

}  // namespace tarvo::test
