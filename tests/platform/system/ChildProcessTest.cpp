#include "platform/system/ChildProcess.hpp"

#include "support/ScopedEnvironment.hpp"
#include "support/Tools.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <array>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tarvo::test {
namespace {

using platform::ChildProcess;
using namespace std::chrono_literals;

// A program named `child` first on PATH: a shell script that records its
// process id and then runs the given lines.
class ScriptedChild {
public:
    explicit ScriptedChild(const std::string& lines) {
        const auto program = folder_.path() / "child";
        writeFile(program, "#!/bin/sh\necho $$ >'" + (folder_.path() / "pid").string() + "'\n" + lines + "\n");
        ::chmod(program.c_str(), 0755);
        const char* path = std::getenv("PATH");
        environment_.set("PATH", folder_.path().string() + ":" + (path != nullptr ? path : ""));
    }

    pid_t pid() const {
        std::ifstream in(folder_.path() / "pid");
        pid_t pid = 0;
        in >> pid;
        return in ? pid : 0;
    }

private:
    TempDir folder_;
    ScopedEnvironment environment_;
};

struct ChildCase {
    std::string name;
    std::string lines;
    ChildProcess::Read read;  // what reading after "ping" gives
    std::string data;
    std::chrono::milliseconds patience;  // for that reading; short only where nothing comes
};

void PrintTo(const ChildCase& c, std::ostream* out) { *out << c.name; }

class ChildProcessEnd : public testing::TestWithParam<ChildCase> {};

// Whatever the child does, finish() returns with it reaped: gone by itself at
// the end of its input, on SIGTERM, or on SIGKILL.
TEST_P(ChildProcessEnd, LeavesNothingBehind) {
    const ChildCase& c = GetParam();
    const ScriptedChild script(c.lines);
    pid_t pid = 0;
    {
        ChildProcess child("child");
        ASSERT_TRUE(child.running());
        ASSERT_TRUE(eventually([&] { return script.pid() > 0; }));
        pid = script.pid();
        child.write("ping\n");
        std::array<std::uint8_t, 16> buffer{};
        const ChildProcess::ReadResult result = child.read(buffer, std::chrono::steady_clock::now() + c.patience);
        EXPECT_EQ(result.status, c.read);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(result.count)), c.data);

        child.finish(300ms);
        EXPECT_FALSE(child.running());
        EXPECT_FALSE(child.write("late\n"));
    }
    EXPECT_TRUE(processEnded(pid));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

const ChildCase childCases[] = {
    {"EchoesUntilEndOfInput", "exec cat", ChildProcess::Read::data, "ping\n", 60s},
    {"ExitsAtOnce", "exit 3", ChildProcess::Read::end, "", 60s},
    {"IgnoresEndOfInput", "exec sleep 300", ChildProcess::Read::timedOut, "", 300ms},
    // Only SIGKILL ends this one; without it the test would never end.
    {"IgnoresTerminate", "trap '' TERM\nexec tail -f /dev/null", ChildProcess::Read::timedOut, "", 300ms},
};

INSTANTIATE_TEST_SUITE_P(Children, ChildProcessEnd, testing::ValuesIn(childCases),
                         [](const auto& testParam) { return testParam.param.name; });

TEST(ChildProcess, MissingProgramIsNotRunning) {
    const TempDir empty;
    ScopedEnvironment environment;
    environment.set("PATH", empty.path().string());

    ChildProcess child("child");
    std::array<std::uint8_t, 4> buffer{};

    EXPECT_FALSE(child.running());
    EXPECT_FALSE(child.write("ping\n"));
    EXPECT_EQ(child.read(buffer, std::chrono::steady_clock::now()).status, ChildProcess::Read::failed);
}

}  // namespace
}  // namespace tarvo::test
