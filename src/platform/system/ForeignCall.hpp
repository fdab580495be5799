#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvo::platform {

// The error document {"error":"<message>"} and its line feed, rendered at
// compile time, so that a signal handler can write it as it stands. Only
// for messages that JSON carries unescaped (no control character, quotation
// mark, backslash or slash); any other message does not compile.
class EmergencyAnswer {
public:
    consteval explicit EmergencyAnswer(const char* message) {
        append("{\"error\":\"");
        for (const char* c = message; *c != '\0'; ++c) {
            const auto byte = static_cast<unsigned char>(*c);
            if (byte < 0x20 || *c == '"' || *c == '\\' || *c == '/') {
                throw "this message needs escaping";
            }
            push(*c);
        }
        messageEnd_ = size_;
        append("\"}\n");
    }

    const char* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return size_; }
    // The message alone, as JSON carries it (it needs no escaping).
    const char* message() const noexcept { return bytes_.data() + messageStart; }
    std::size_t messageSize() const noexcept { return messageEnd_ - messageStart; }

private:
    consteval void push(char c) {
        if (size_ == bytes_.size()) {
            throw "this message is too long";
        }
        bytes_[size_++] = c;
    }
    consteval void append(const char* text) {
        for (; *text != '\0'; ++text) {
            push(*text);
        }
    }

    static constexpr std::size_t messageStart = 10;  // after {"error":"

    std::array<char, 192> bytes_{};
    std::size_t size_ = 0;
    std::size_t messageEnd_ = 0;
};

// What ends the run when a foreign call goes wrong: the answer for a crash
// inside it (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) and the answer for a
// call that has not returned when its deadline passes. Without a crash
// answer, a crash goes to whoever handled the signal before.
struct ForeignCallFaults {
    const EmergencyAnswer* crashed = nullptr;
    const EmergencyAnswer* notResponding = nullptr;
};

// How long one foreign call may take.
inline constexpr std::chrono::seconds foreignCallDeadline{60};

// Set once at start-up; test builds of the helper give less time.
void setForeignCallDeadline(std::chrono::seconds deadline) noexcept;

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

// For an action that can still answer without what a foreign call was to
// give: while it lives, a crash or an expired deadline inside any foreign
// call writes `leading`, the fault's message, then `trailing` (all as they
// stand; the caller makes them a whole document around the message, which
// JSON carries unescaped) instead of the frame's own error document, and ends
// the run with status 0 once all of it went out, 2 otherwise.
class ForeignFaultStandIn {
public:
    ForeignFaultStandIn(std::string leading, std::string trailing) noexcept;
    ~ForeignFaultStandIn();
    ForeignFaultStandIn(const ForeignFaultStandIn&) = delete;
    ForeignFaultStandIn& operator=(const ForeignFaultStandIn&) = delete;

private:
    std::string leading_;
    std::string trailing_;
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
    Pointer get() const noexcept { return function_; }

private:
    Pointer function_ = nullptr;
};

}  // namespace tarvo::platform
