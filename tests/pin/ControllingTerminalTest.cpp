#include "pin/ControllingTerminal.hpp"
#include "pin/PinPrompt.hpp"

#include "support/FakePinentry.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tarvo {
namespace {

// What a child process found, one item per line.
std::string describe(const std::optional<Terminal>& terminal, const PinReply& reply) {
    std::string text = terminal ? terminal->name + "\n" + terminal->type + "\n" : "none\n";
    text += reply.outcome == PinOutcome::entered ? std::string(reply.pin.view().begin(), reply.pin.view().end())
                                                 : "no pin";
    return text;
}

// Runs the lookup and the prompt in a new session, as a robot would start us:
// standard streams on /dev/null, and a controlling terminal only when given.
std::string inNewSession(const std::string& terminalPath) {
    int report[2];
    if (::pipe(report) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (!terminalPath.empty()) {
            // The first terminal a session leader opens becomes its controlling one.
            if (::open(terminalPath.c_str(), O_RDWR) < 0) {
                ::_exit(3);
            }
        }
        ::setenv("TERM", "vt220", 1);
        ::setenv("LC_ALL", "C.UTF-8", 1);
        const std::string text = describe(controllingTerminal(), securePINPrompt(false));
        const bool sent = ::write(report[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(sent ? 0 : 4);
    }
    ::close(report[1]);
    std::string text;
    char buffer[256];
    for (ssize_t count; (count = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return text;
}

TEST(ControllingTerminal, NamesThePseudoTerminalDeviceAndTellsPinentry) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string device = ::ptsname(master);
    const test::ActiveFakePinentry pinentry(test::answeringPin("%C4%9F"));

    EXPECT_EQ(inNewSession(device), device + "\nvt220\nğ");
    const auto received = pinentry.received();
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received[0], "OPTION ttyname=" + device);
    EXPECT_EQ(received[1], "OPTION ttytype=vt220");
    EXPECT_EQ(received[2], "OPTION lc-ctype=C.UTF-8");
    ::close(master);
}

TEST(ControllingTerminal, NoneWithoutOneAndNoTerminalOptionsSent) {
    const test::ActiveFakePinentry pinentry(test::answeringPin("7"));

    EXPECT_EQ(inNewSession(""), "none\n7");
    const auto received = pinentry.received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.front(), "OPTION lc-ctype=C.UTF-8");
}

}  // namespace
}  // namespace tarvo
