#include "platform/system/AnswerChannel.hpp"
#include "platform/system/ForeignCall.hpp"

#include "support/Tools.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::platform {
namespace {

constexpr EmergencyAnswer crashed{"modül çöktü"};
constexpr EmergencyAnswer notResponding{"yanıt yok"};
constexpr ForeignCallFaults moduleFaults{&crashed, &notResponding};
constexpr ForeignCallFaults hangOnlyFaults{nullptr, &notResponding};

constexpr int ownHandlerStatus = 77;
constexpr std::array<int, 5> crashSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

void fault() {
    volatile std::uintptr_t invalid = 16;
    *reinterpret_cast<volatile int*>(invalid) = 0;
}

void hang() {
    for (;;) {
        ::pause();
    }
}

void exitFromOwnHandler(int) { ::_exit(ownHandlerStatus); }

// What was in place for the crash signals before any foreign call framed them.
enum class Before { defaultAction, ownHandler };

struct Case {
    const char* name;
    Before before;
    const ForeignCallFaults* frame;  // null: the crash comes after the frame has ended
    bool answerClaimed;              // an ordinary answer has begun before the crash
    std::function<void()> crash;
    std::function<bool(int)> ends;
    std::string answer;
    std::function<void()> earlier = {};  // runs before the frame, outside it
};

// Runs in the death test's child. The dispositions set here replace ours, if
// an earlier test in this process had installed them; the next frame puts
// ours back and hands on to these.
[[noreturn]] void crashIn(const Case& c, const std::string& answerFile, std::chrono::seconds deadline) {
    const int out = ::open(answerFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const rlimit noCore{0, 0};
    if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::setrlimit(RLIMIT_CORE, &noCore) != 0) {
        ::_exit(100);
    }
    setAsideAnswerChannel();
    setForeignCallDeadline(deadline);
    for (int signal : crashSignals) {
        ::signal(signal, c.before == Before::ownHandler ? exitFromOwnHandler : SIG_DFL);
    }
    if (c.answerClaimed) {
        claimAnswer();
    }
    if (c.earlier) {
        c.earlier();
    }
    if (c.frame != nullptr) {
        const ForeignCall call(*c.frame);
        c.crash();
    } else {
        { const ForeignCall call(moduleFaults); }
        c.crash();
    }
    ::_exit(101);
}

TEST(ForeignCall, ACrashInsideAFrameIsAnsweredAndOneOutsideGoesWhereItWentBefore) {
    const std::string crashedAnswer = "{\"error\":\"modül çöktü\"}\n";
    const std::string notRespondingAnswer = "{\"error\":\"yanıt yok\"}\n";
    const auto exitedWith = [](int status) { return ::testing::ExitedWithCode(status); };
    const auto killedBy = [](int signal) { return ::testing::KilledBySignal(signal); };
    const auto raiseSegv = [] { ::raise(SIGSEGV); };
    // A quick call, then a while outside any call: the timer of that call is
    // still running when the next one begins.
    const auto quickCallThenWait = [](std::chrono::milliseconds wait) {
        return [wait] {
            { const ForeignCall call(moduleFaults); }
            std::this_thread::sleep_for(wait);
        };
    };
    const auto slowCall = [] { std::this_thread::sleep_for(std::chrono::milliseconds(600)); };

    const std::vector<Case> cases = {
        {"fault in a module call", Before::defaultAction, &moduleFaults, false, fault, exitedWith(2), crashedAnswer},
        {"abort in a module call", Before::ownHandler, &moduleFaults, false, [] { std::abort(); }, exitedWith(2),
         crashedAnswer},
        {"fault after an answer began", Before::defaultAction, &moduleFaults, true, fault, exitedWith(2), ""},
        {"hang in a module call", Before::defaultAction, &moduleFaults, false, hang, exitedWith(2), notRespondingAnswer},
        {"fault in a frame without crash answer", Before::defaultAction, &hangOnlyFaults, false, fault,
         killedBy(SIGSEGV), ""},
        {"hang in a frame without crash answer", Before::defaultAction, &hangOnlyFaults, false, hang, exitedWith(2),
         notRespondingAnswer},
        {"our own fault, default before", Before::defaultAction, nullptr, false, fault, killedBy(SIGSEGV), ""},
        {"our own raise, default before", Before::defaultAction, nullptr, false, raiseSegv, killedBy(SIGSEGV), ""},
        {"our own abort, default before", Before::defaultAction, nullptr, false, [] { std::abort(); },
         killedBy(SIGABRT), ""},
        {"our own fault, own handler before", Before::ownHandler, nullptr, false, fault, exitedWith(ownHandlerStatus),
         ""},
        {"our own raise, own handler before", Before::ownHandler, nullptr, false, raiseSegv,
         exitedWith(ownHandlerStatus), ""},
        // The deadline counts from each call's own start, not from the call that set the timer.
        {"hang in a call after an earlier one", Before::defaultAction, &moduleFaults, false, hang, exitedWith(2),
         notRespondingAnswer, quickCallThenWait(std::chrono::milliseconds(500))},
        {"a call in time after an earlier deadline passed", Before::defaultAction, &moduleFaults, false, slowCall,
         exitedWith(101), "", quickCallThenWait(std::chrono::milliseconds(700))},
    };
    test::TempDir dir;
    const std::string answerFile = (dir.path() / "answer").string();
    // A call here leaves this process's timer running; each child, made by a
    // fork that does not carry the timer along, must still be timed.
    { const ForeignCall call(moduleFaults); }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(crashIn(c, answerFile, std::chrono::seconds(1)), c.ends, "");
        std::ifstream written(answerFile, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), c.answer);
    }
}

}  // namespace
}  // namespace tarvo::platform
