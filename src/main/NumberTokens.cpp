#include "main/NumberTokens.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tarvo {

namespace {

bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// Every byte that can stand in a number token. No JSON token of another kind
// can touch a number without a separator, so a maximal run of these bytes
// outside strings is one number in every text the parser accepts.
bool isNumberByte(std::uint8_t c) { return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool isNumber(ByteView t) {
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t start = i;
        while (i < t.size() && isDigit(t[i])) ++i;
        return i > start;
    };
    if (i < t.size() && t[i] == '-') ++i;
    if (i < t.size() && t[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == t.size();
}

}  // namespace

SecureBytes withNumbersZeroed(ByteView json) {
    SecureBytes copy(json);
    std::uint8_t* text = copy.data();
    const std::size_t n = copy.size();
    bool inString = false;
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t c = text[i];
        if (inString) {
            if (c == '"') inString = false;
            i += (c == '\\') ? 2 : 1;  // an escaped quote does not end the string
        } else if (c == '"') {
            inString = true;
            ++i;
        } else if (isNumberByte(c)) {
            std::size_t end = i;
            while (end < n && isNumberByte(text[end])) ++end;
            if (isNumber({text + i, end - i})) {
                text[i] = '0';
                std::fill(text + i + 1, text + end, std::uint8_t{' '});
            }
            i = end;
        } else {
            ++i;
        }
    }
    return copy;
}

}  // namespace tarvo
