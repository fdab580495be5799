// The reader of the PIN dialog's replies against a plain reading of the
// protocol's line rules, and the parameter escape read back by both.

#include "FuzzCheck.hpp"
#include "pin/Assuan.hpp"
#include "pin/SecretBuffer.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tarvo::fuzz {
namespace {

using assuan::Reply;

Reply referenceClassify(std::string_view line) {
    const std::string_view word = line.substr(0, line.find(' '));
    if (word == "OK") return Reply::ok;
    if (word == "ERR") return Reply::error;
    if (word == "S") return Reply::status;
    if (line.starts_with('#')) return Reply::comment;
    if (line.starts_with("D ")) return Reply::data;
    if (word == "INQUIRE") return Reply::inquire;
    return Reply::unknown;
}

std::optional<int> hexDigit(char c) {
    const std::string_view digits = "0123456789abcdef";
    const auto at = digits.find(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
    return at == std::string_view::npos ? std::nullopt : std::optional<int>(static_cast<int>(at));
}

struct Decoded {
    bool complete = true;
    std::string bytes;  // what was decoded before a fault or a full buffer
};

Decoded percentDecoded(std::string_view data, std::size_t capacity) {
    Decoded result;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char byte = data[i];
        if (byte == '%') {
            const auto high = i + 1 < data.size() ? hexDigit(data[i + 1]) : std::nullopt;
            const auto low = i + 2 < data.size() ? hexDigit(data[i + 2]) : std::nullopt;
            if (!high || !low) return {false, result.bytes};
            byte = static_cast<char>(*high * 16 + *low);
            i += 2;
        }
        if (result.bytes.size() == capacity) return {false, result.bytes};
        result.bytes += byte;
    }
    return result;
}

}  // namespace
}  // namespace tarvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarvo::fuzz;
    if (size == 0) return 0;
    // The first byte sizes the buffer, so that full buffers are reached too.
    const std::size_t capacity = data[0];
    const std::string_view line = textOf({data + 1, size - 1});

    const Reply reply = tarvo::assuan::classify(bytesOf(line));
    FUZZ_EXPECT(reply == referenceClassify(line));

    tarvo::SecretBuffer buffer(capacity);
    const bool appended = tarvo::assuan::appendData(bytesOf(line), buffer);
    if (reply != Reply::data) {
        FUZZ_EXPECT(!appended && buffer.size() == 0);
    } else {
        const Decoded expected = percentDecoded(line.substr(2), capacity);
        FUZZ_EXPECT(appended == expected.complete);
        FUZZ_EXPECT(textOf(buffer.view()) == expected.bytes);
    }

    // Any text escaped as a parameter is one line that reads back as the text.
    const std::string escaped = tarvo::assuan::escapeParameter(line);
    for (const char c : escaped) {
        FUZZ_EXPECT(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    FUZZ_EXPECT(!escaped.ends_with('\\'));
    const Decoded readBack = percentDecoded(escaped, line.size());
    FUZZ_EXPECT(readBack.complete && readBack.bytes == line);
    tarvo::SecretBuffer reread(line.size());
    FUZZ_EXPECT(tarvo::assuan::appendData(bytesOf("D " + escaped), reread) && textOf(reread.view()) == line);
    return 0;
}
