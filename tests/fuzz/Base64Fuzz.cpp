// Strict Base64 against OpenSSL's block coder: the same texts accepted, the
// same bytes out, the same text for the same bytes, and back again.

#include "FuzzCheck.hpp"
#include "platform/vocabulary/Base64.hpp"

#include <openssl/evp.h>

#include <optional>
#include <string>
#include <string_view>

namespace tarvo::fuzz {
namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Strictness is ours to state; the decoding itself is OpenSSL's, which would
// let white space and misplaced fill characters through.
std::optional<Bytes> referenceDecode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t fill = 0;
    while (fill < 2 && fill < text.size() && text[text.size() - 1 - fill] == '=') ++fill;
    for (std::size_t i = 0; i < text.size() - fill; ++i) {
        if (alphabet.find(text[i]) == std::string_view::npos) return std::nullopt;
    }
    if (text.empty()) return Bytes{};
    Bytes out(text.size() / 4 * 3);
    const int length = EVP_DecodeBlock(out.data(), bytesOf(text).data(), static_cast<int>(text.size()));
    FUZZ_EXPECT(length == static_cast<int>(out.size()));
    out.resize(out.size() - fill);
    return out;
}

std::string referenceEncode(ByteView bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // room for OpenSSL's terminating NUL
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

}  // namespace
}  // namespace tarvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarvo::fuzz;
    const tarvo::ByteView bytes(data, size);
    const std::string_view text = textOf(bytes);

    const auto decoded = tarvo::base64Decode(text);
    FUZZ_EXPECT(decoded == referenceDecode(text));
    if (decoded) {
        // Only the last symbol before the fill may differ from the text: the
        // unused low bits that it carries are not checked.
        const std::string again = tarvo::base64Encode(*decoded);
        FUZZ_EXPECT(again.size() == text.size());
        const std::size_t lastSymbol = text.empty() ? 0 : text.find_last_not_of('=');
        for (std::size_t i = 0; i < text.size(); ++i) {
            FUZZ_EXPECT(i == lastSymbol || again[i] == text[i]);
        }
        FUZZ_EXPECT(tarvo::base64Decode(again) == decoded);
    }

    const std::string encoded = tarvo::base64Encode(bytes);
    FUZZ_EXPECT(encoded == referenceEncode(bytes));
    const auto roundTrip = tarvo::base64Decode(encoded);
    FUZZ_EXPECT(roundTrip && std::equal(roundTrip->begin(), roundTrip->end(), bytes.begin(), bytes.end()));
    return 0;
}
