#pragma once

#include <array>
#include <cstddef>

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

}  // namespace tarvo::platform
