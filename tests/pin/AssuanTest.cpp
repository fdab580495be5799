#include "pin/Assuan.hpp"

#include <gtest/gtest.h>

#include <optional>
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

struct DataCase {
    std::string line;
    std::optional<std::string> decoded;  // absent: the line is refused
};

TEST(AssuanData, DecodesPercentEscapesAndRefusesMalformedOnes) {
    const DataCase cases[] = {
        {"D 1234", "1234"},
        {"D ", ""},
        {"D  lead and trail ", " lead and trail "},
        {"D ğüş", "ğüş"},
        {"D %C4%9F%c3%bc", "ğü"},
        {"D 12%2534", "12%34"},
        {"D a%0Db%0Ac%00d", std::string("a\rb\nc\0d", 7)},
        {"D 12%G4", std::nullopt},
        {"D 12%4G", std::nullopt},
        {"D 12%4", std::nullopt},
        {"D 12%", std::nullopt},
        {"OK", std::nullopt},
        {"Dx", std::nullopt},
    };
    for (const auto& c : cases) {
        SecretBuffer out(64);
        const bool accepted = assuan::appendData(bytesOf(c.line), out);
        EXPECT_EQ(accepted, c.decoded.has_value()) << c.line;
        if (c.decoded && accepted) {
            EXPECT_EQ(std::string(out.view().begin(), out.view().end()), *c.decoded) << c.line;
        }
    }
}

TEST(AssuanData, AppendsToWhatIsThereAndStopsAtCapacity) {
    SecretBuffer out(5);
    ASSERT_TRUE(assuan::appendData(bytesOf("D 12"), out));
    ASSERT_TRUE(assuan::appendData(bytesOf("D %33"), out));
    EXPECT_EQ(std::string(out.view().begin(), out.view().end()), "123");
    EXPECT_TRUE(assuan::appendData(bytesOf("D 45"), out));
    EXPECT_FALSE(assuan::appendData(bytesOf("D 6"), out));
    EXPECT_EQ(std::string(out.view().begin(), out.view().end()), "12345");
}

}  // namespace
}  // namespace tarvo
