#include "platform/vocabulary/Base64.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarvo::test {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct Pair {
    Bytes bytes;
    std::string text;
};

// RFC 4648 section 10 vectors, plus bytes that use '+' and '/' and a NUL.
const Pair pairs[] = {
    {{}, ""},
    {bytesOf("f"), "Zg=="},
    {bytesOf("fo"), "Zm8="},
    {bytesOf("foo"), "Zm9v"},
    {bytesOf("foob"), "Zm9vYg=="},
    {bytesOf("fooba"), "Zm9vYmE="},
    {bytesOf("foobar"), "Zm9vYmFy"},
    {{0xFB, 0xFF, 0xBF}, "+/+/"},
    {{0x00}, "AA=="},
    {{0xFF, 0xFF, 0xFF, 0xFF}, "/////w=="},
};

TEST(Base64, EncodesEachVectorExactly) {
    for (const auto& pair : pairs) {
        EXPECT_EQ(base64Encode(pair.bytes), pair.text);
    }
}

TEST(Base64, DecodesEachVectorBackToItsBytes) {
    for (const auto& pair : pairs) {
        const auto bytes = base64Decode(pair.text);
        ASSERT_TRUE(bytes.has_value()) << pair.text;
        EXPECT_EQ(*bytes, pair.bytes) << pair.text;
    }
}

TEST(Base64, LongInputStaysOnOneLine) {
    const Bytes bytes(300, 0xA5);
    const std::string text = base64Encode(bytes);
    EXPECT_EQ(text.size(), 400u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(base64Decode(text), bytes);
}

TEST(Base64, RefusesEveryMalformedText) {
    const std::string refused[] = {
        "Zg",            // length not a multiple of four
        "Zm9vY",         // likewise
        "Zg=",           // likewise, padded
        "Zg==Zg==",      // '=' in the middle
        "Z=9v",          // likewise, inside a group
        "A===",          // three fill characters
        "====",          // nothing but fill
        // Every text below has a valid length, so only the character can refuse it.
        "Zm9v YmF",      // a space
        "Zm9v\nYmF",     // a line break
        "Zm9\n",         // a trailing line break
        "Zm\r\n",        // CRLF
        "Zm9-",          // URL-safe alphabet
        "Zm9_",
        "Zm9*",
        std::string("Zm\0v", 4),
        "Zm\xC3\xA7",    // a non-ASCII byte pair
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(base64Decode(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace tarvo::test
