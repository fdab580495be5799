#pragma once

#include "platform/system/EmergencyAnswer.hpp"
#include "platform/system/ForeignCallDeadline.hpp"

#include <cstdint>

namespace tarvo::platform {

// What ends the run when a foreign call goes wrong: the answer for a crash
// inside it (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) and the answer for a
// call that has not returned when its deadline passes. Without a crash
// answer, a crash goes to whoever handled the signal before.
struct ForeignCallFaults {
    const EmergencyAnswer* crashed = nullptr;
    const EmergencyAnswer* notResponding = nullptr;
};

// Frames one call into code that is not ours (a PKCS#11 module, the opening
// of the certificate store). While it lives, a crash or an expired deadline
// writes the pre-rendered answer to the answer channel, unless a document
// has already been claimed, and ends the process with status 2 at once:
// nothing is unwound and nothing is released, since the foreign code may
// have left any state behind. Outside every such call our handlers pass a
// crash on to the disposition that was in place before them, so that our
// own faults still reach a sanitizer or end the process as they would have.
// A call framed inside another one is covered by the outer frame.
class ForeignCall {
public:
    explicit ForeignCall(const ForeignCallFaults& faults) noexcept;
    ~ForeignCall();
    ForeignCall(const ForeignCall&) = delete;
    ForeignCall& operator=(const ForeignCall&) = delete;

private:
    bool outermost_ = false;
};

// Lets our own code run inside a foreign call (a callback the foreign code
// makes, such as a question for a PIN): while it lives, the frame around it
// is set aside, so that neither a crash of ours nor the time the person takes
// is charged to the foreign code. The frame's deadline resumes with the time
// it had left.
class ForeignCallback {
public:
    ForeignCallback() noexcept;
    ~ForeignCallback();
    ForeignCallback(const ForeignCallback&) = delete;
    ForeignCallback& operator=(const ForeignCallback&) = delete;

private:
    const ForeignCallFaults* suspended_ = nullptr;
    std::int64_t elapsed_ = 0;  // nanoseconds of the frame's time spent before the callback
};

// A foreign function pointer that is called inside a ForeignCall frame.
// Assignable from the plain pointer and called like it.
template <typename Pointer, const ForeignCallFaults& faults>
class ForeignFunction;

template <typename Result, typename... Arguments, const ForeignCallFaults& faults>
class ForeignFunction<Result (*)(Arguments...), faults> {
public:
    using Pointer = Result (*)(Arguments...);

    constexpr ForeignFunction() noexcept = default;
    constexpr ForeignFunction(Pointer function) noexcept : function_(function) {}

    Result operator()(Arguments... arguments) const {
        const ForeignCall call(faults);
        return function_(arguments...);
    }

    explicit operator bool() const noexcept { return function_ != nullptr; }

private:
    Pointer function_ = nullptr;
};

}  // namespace tarvo::platform
