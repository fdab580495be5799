#include "support/ReaderStack.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace tarvo::test {

namespace {

constexpr const char* vpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

// vpcd keeps its connections in one table indexed by the slot alone, so a
// second reader entry would take over the first one's: the stack has one
// entry, and its readers are that entry's slots, which PC/SC clients see as
// readers of their own ("<name> 00 00", "<name> 00 01"), each on its own port.
constexpr const char* friendlyName = "Tarvo Virtual";
constexpr std::size_t vpcdSlots = 2;

std::string readerName(std::size_t reader) { return std::string(friendlyName) + " 00 0" + std::to_string(reader); }

bool portFree(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return free;
}

// vpcd listens on two ports per reader, one for each of its slots.
int freePortPair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        const int port = ntohs(address.sin_port);
        if (port < 65535 && portFree(port) && portFree(port + 1)) {
            return port;
        }
    }
    throw std::runtime_error("no free ports for a virtual reader");
}

// Starts a program with its output to a file and, when asked, a pipe to its input.
pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& output, int* input) {
    int pipeFds[2] = {-1, -1};
    if (input != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int in = input != nullptr ? pipeFds[0] : ::open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
            ::_exit(126);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (input != nullptr) {
        ::close(pipeFds[0]);
        *input = pipeFds[1];
    }
    return pid;
}

void end(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

StackCard::StackCard(const Bytes& certificateDER, const Key& key, std::string pin)
    : pin_(std::move(pin)), store_(pin_) {
    store_.importIdentity(certificateDER, key, nickname);
}

struct ReaderStack::Slot {
    int port = 0;
    pid_t card = -1;
    int control = -1;
    std::filesystem::path log;

    void takeOut() {
        if (control >= 0) {
            ::close(control);
            control = -1;
        }
        end(card);
    }
};

ReaderStack::ReaderStack(std::size_t readers) {
    if (!std::filesystem::exists(vpcdDriver) || openscModule().empty() || ::access(TARVO_VIRTUAL_CARD, X_OK) != 0) {
        unavailable_ = "the virtual reader stack needs pcscd, vsmartcard-vpcd, opensc and libcacard";
        return;
    }
    if (::geteuid() != 0) {
        unavailable_ = "a private pcscd needs a mount namespace of its own, which only root may make";
        return;
    }
    const auto configuration = folder_.path() / "reader.conf.d";
    const auto run = folder_.path() / "run";
    std::filesystem::create_directories(configuration);
    std::filesystem::create_directories(run);
    if (readers > vpcdSlots) {
        throw std::invalid_argument("vpcd gives a stack at most two readers");
    }
    const int port = freePortPair();
    for (std::size_t i = 0; i < readers; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->port = port + static_cast<int>(i);
        slot->log = folder_.path() / ("card-" + std::to_string(i) + ".log");
        readers_.push_back(std::move(slot));
    }
    const std::string readerConfiguration = "FRIENDLYNAME \"" + std::string(friendlyName) +
                                            "\"\nDEVICENAME /dev/null:" + std::to_string(port) + "\nLIBPATH " +
                                            vpcdDriver + "\nCHANNELID " + std::to_string(port) + "\n";
    writeFile(configuration / "vpcd", readerConfiguration);
    // pcscd 2 (Debian 13) asks polkit whether a client may connect, and with
    // no polkit running, as in a bare tree, it refuses every one; pcscd 1.9
    // (Debian 12) has no such check, nor the option that turns it off.
    daemon_ = spawn({"unshare", "--mount", "--propagation", "private", "sh", "-c",
                     "mkdir -p /run/pcscd && mount --bind \"$0\" /run/pcscd && "
                     "polkit=$(pcscd --help 2>&1 | grep -o -- --disable-polkit || true) && "
                     "exec pcscd --foreground --info --config \"$1\" $polkit",
                     run.string(), configuration.string()},
                    folder_.path() / "pcscd.log", nullptr);
    if (!eventually([&] { return std::filesystem::exists(run / "pcscd.comm") || processEnded(daemon_); },
                    std::chrono::seconds(20)) ||
        processEnded(daemon_)) {
        unavailable_ = "pcscd did not start in a mount namespace of its own: " + contents(folder_.path() / "pcscd.log");
        end(daemon_);
    }
}

ReaderStack::~ReaderStack() {
    for (const auto& slot : readers_) {
        slot->takeOut();
    }
    if (daemon_ > 0) {
        ::kill(daemon_, SIGTERM);
        if (!eventually([&] { return processEnded(daemon_); }, std::chrono::seconds(5))) {
            ::kill(daemon_, SIGKILL);
        }
        ::waitpid(daemon_, nullptr, 0);
    }
}

Environment ReaderStack::environment() const {
    return {{"PCSCLITE_CSOCK_NAME", (folder_.path() / "run" / "pcscd.comm").string()}};
}

std::string ReaderStack::openscModule() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so", "/usr/lib/opensc-pkcs11.so",
                             "/usr/lib64/opensc-pkcs11.so"}) {
        if (std::filesystem::exists(path)) {
            return path;
        }
    }
    return {};
}

std::size_t ReaderStack::sightings(const std::string& event, std::size_t reader) const {
    return occurrences(contents(folder_.path() / "pcscd.log"), event + " " + readerName(reader));
}

// Both wait for pcscd's own word that it saw the change, so that the next
// client finds the reader as the test left it.
void ReaderStack::insert(std::size_t reader, const StackCard& card) {
    Slot& slot = *readers_.at(reader);
    const std::size_t before = sightings("Card inserted into", reader);
    slot.takeOut();
    std::filesystem::remove(slot.log);
    slot.card = spawn({TARVO_VIRTUAL_CARD, std::to_string(slot.port), card.database(), StackCard::nickname}, slot.log,
                      &slot.control);
    if (!eventually([&] { return sightings("Card inserted into", reader) > before; }, std::chrono::seconds(20))) {
        throw std::runtime_error("pcscd did not see the card come: " + contents(slot.log));
    }
}

void ReaderStack::remove(std::size_t reader) {
    Slot& slot = *readers_.at(reader);
    if (slot.card < 0) {
        return;
    }
    const std::size_t before = sightings("Card Removed From", reader);
    slot.takeOut();
    if (!eventually([&] { return sightings("Card Removed From", reader) > before; }, std::chrono::seconds(20))) {
        throw std::runtime_error("pcscd did not see the card go");
    }
}

void ReaderStack::hang(std::size_t reader) {
    const Slot& slot = *readers_.at(reader);
    const std::string command = "hang\n";
    if (slot.control < 0 || ::write(slot.control, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
        throw std::runtime_error("no card to silence");
    }
}

std::size_t ReaderStack::pinTries(std::size_t reader) const {
    return occurrences(contents(readers_.at(reader)->log), "pin tried");
}

void ReaderStack::stopDaemon() {
    if (daemon_ > 0) {
        ::kill(daemon_, SIGTERM);
        ::waitpid(daemon_, nullptr, 0);
        daemon_ = -1;
    }
}

}  // namespace tarvo::test
