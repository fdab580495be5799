#include "pin/Assuan.hpp"

#include <charconv>
#include <optional>

namespace tarvo::assuan {

namespace {

bool startsWithWord(ByteView line, std::string_view word) {
    if (line.size() < word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (line[i] != static_cast<std::uint8_t>(word[i])) {
            return false;
        }
    }
    return line.size() == word.size() || line[word.size()] == ' ';
}

std::optional<std::uint8_t> hexValue(std::uint8_t digit) {
    if (digit >= '0' && digit <= '9') {
        return static_cast<std::uint8_t>(digit - '0');
    }
    if (digit >= 'A' && digit <= 'F') {
        return static_cast<std::uint8_t>(digit - 'A' + 10);
    }
    if (digit >= 'a' && digit <= 'f') {
        return static_cast<std::uint8_t>(digit - 'a' + 10);
    }
    return std::nullopt;
}

}  // namespace

std::string escapeParameter(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // A trailing backslash would read as a line continuation.
        const bool trailingBackslash = byte == '\\' && i + 1 == text.size();
        if (byte == '%' || byte < 0x20 || byte == 0x7F || trailingBackslash) {
            escaped += '%';
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0x0F];
        } else {
            escaped += static_cast<char>(byte);
        }
    }
    return escaped;
}

Reply classify(ByteView line) {
    if (startsWithWord(line, "OK")) {
        return Reply::ok;
    }
    if (startsWithWord(line, "ERR")) {
        return Reply::error;
    }
    if (startsWithWord(line, "S")) {
        return Reply::status;
    }
    if (!line.empty() && line[0] == '#') {
        return Reply::comment;
    }
    // Exactly one space follows the D; the data may be empty or start with a space.
    if (line.size() >= 2 && line[0] == 'D' && line[1] == ' ') {
        return Reply::data;
    }
    if (startsWithWord(line, "INQUIRE")) {
        return Reply::inquire;
    }
    return Reply::unknown;
}

std::optional<std::uint32_t> errorCode(ByteView line) {
    constexpr std::string_view word = "ERR ";
    if (classify(line) != Reply::error || line.size() <= word.size()) {
        return std::nullopt;
    }
    const char* first = reinterpret_cast<const char*>(line.data()) + word.size();
    const char* last = reinterpret_cast<const char*>(line.data()) + line.size();
    std::uint32_t code = 0;
    const auto [end, error] = std::from_chars(first, last, code);
    if (error != std::errc() || (end != last && *end != ' ')) {
        return std::nullopt;
    }
    return code;
}

bool appendData(ByteView line, SecretBuffer& out) {
    if (classify(line) != Reply::data) {
        return false;
    }
    for (std::size_t i = 2; i < line.size(); ++i) {
        std::uint8_t byte = line[i];
        if (byte == '%') {
            if (i + 2 >= line.size()) {
                return false;
            }
            const std::optional<std::uint8_t> high = hexValue(line[i + 1]);
            const std::optional<std::uint8_t> low = hexValue(line[i + 2]);
            if (!high || !low) {
                return false;
            }
            byte = static_cast<std::uint8_t>((*high << 4) | *low);
            i += 2;
        }
        if (!out.push(byte)) {
            return false;
        }
    }
    return true;
}

}  // namespace tarvo::assuan
