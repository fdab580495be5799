#include "pin/Assuan.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarvo {
namespace {

ByteView bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct EscapeCase {
    std::string text;
    std::string escaped;
};

TEST(AssuanEscape, EscapesWhatTheProtocolReservesAndNothingElse) {
    const EscapeCase cases[] = {
        {"", ""},
        {"plain text", "plain text"},
        {"100%", "100%25"},
        {"a\rb\nc", "a%0Db%0Ac"},
        {std::string("t\tx\x01y\x1F\x7F", 7), "t%09x%01y%1F%7F"},
        {"AKİS kart PIN’i", "AKİS kart PIN’i"},  // UTF-8 passes through raw
        {"a\\b", "a\\b"},
        {"ends with \\", "ends with %5C"},
        {"%%", "%25%25"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(assuan::escapeParameter(c.text), c.escaped) << c.text;
    }
}

struct ClassifyCase {
    std::string line;
    assuan::Reply kind;
};

TEST(AssuanClassify, TellsRepliesApartByTheirWholeFirstWord) {
    using assuan::Reply;
    const ClassifyCase cases[] = {
        {"OK", Reply::ok},
        {"OK Pleased to meet you", Reply::ok},
        {"OKAY", Reply::unknown},
        {"ok", Reply::unknown},
        {"ERR 83886179 Operation cancelled", Reply::error},
        {"ERR", Reply::error},
        {"ERROR", Reply::unknown},
        {"S PASSWORD_FROM_CACHE", Reply::status},
        {"SETTITLE x", Reply::unknown},
        {"# comment", Reply::comment},
        {"#", Reply::comment},
        {"D 1234", Reply::data},
        {"D ", Reply::data},
        {"D", Reply::unknown},
        {"Dx", Reply::unknown},
        {"INQUIRE QUALITY", Reply::inquire},
        {"INQUIRED", Reply::unknown},
        {"", Reply::unknown},
        {" OK", Reply::unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(assuan::classify(bytesOf(c.line)), c.kind) << '"' << c.line << '"';
    }
}

}  // namespace
}  // namespace tarvo
