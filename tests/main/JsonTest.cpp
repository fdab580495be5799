#include "main/Json.hpp"

#include "card/PKCS11.hpp"
#include "platform/system/ForeignCall.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tarvo {
namespace {

// Each write(2) becomes one message on a sequenced-packet socket, so the test
// sees not only the bytes but how they were split into writes.
struct Written {
    std::vector<std::string> writes;
    int status;
};

Written capture(const std::function<int(int fd)>& writer) {
    std::array<int, 2> ends{};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends.data()) != 0) {
        ADD_FAILURE() << "socketpair";
        return {};
    }
    Written result{{}, writer(ends[0])};
    ::close(ends[0]);
    std::array<char, 65536> buffer{};
    for (ssize_t n; (n = ::recv(ends[1], buffer.data(), buffer.size(), 0)) > 0;) {
        result.writes.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(ends[1]);
    return result;
}

const std::vector<std::string> unserialisable = {"{\"error\":\"JSON yanıtı oluşturulamadı\"}", "\n"};

TEST(WriteJSON, WritesTheDocumentThenALineFeed) {
    struct Case {
        JsonObject document;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{}, "{}"},
        {{{"b", "1"}, {"a", "2"}}, "{\"a\":\"2\",\"b\":\"1\"}"},
        // byte order: capitals before small letters, a prefix first, non-ASCII last
        {{{"ä", "4"}, {"ab", "3"}, {"a", "2"}, {"B", "1"}}, "{\"B\":\"1\",\"a\":\"2\",\"ab\":\"3\",\"ä\":\"4\"}"},
        {{{"p", "a/b"}}, "{\"p\":\"a\\/b\"}"},
        {{{"q", "\"\\"}}, "{\"q\":\"\\\"\\\\\"}"},
        {{{"k/\"", ""}}, "{\"k\\/\\\"\":\"\"}"},
        {{{"d", "\x7f"}}, "{\"d\":\"\x7f\"}"},
        {{{"t", "Kütüphane yüklenemedi — ’İı"}}, "{\"t\":\"Kütüphane yüklenemedi — ’İı\"}"},
        // the edges of each UTF-8 length are written as they are
        {{{"u", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"}},
         "{\"u\":\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\"}"},
        {{{"certificates", JsonList{{{"z", "1"}, {"a", "2"}}, {}}}, {"warning", "w"}},
         "{\"certificates\":[{\"a\":\"2\",\"z\":\"1\"},{}],\"warning\":\"w\"}"},
        {{{"certificates", JsonList{}}}, "{\"certificates\":[]}"},
        {{{"o", JsonObject{{"y", JsonObject{{"b", "1"}, {"a", "2"}}}, {"x", JsonList{}}}}},
         "{\"o\":{\"x\":[],\"y\":{\"a\":\"2\",\"b\":\"1\"}}}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const auto written = capture([&](int fd) { return writeJSON(c.document, fd); });
        EXPECT_EQ(written.status, 0);
        EXPECT_EQ(written.writes, (std::vector<std::string>{c.expected, "\n"}));
    }
}

TEST(WriteJSON, EscapesEveryControlCharacter) {
    const std::array<const char*, 32> escapes = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
    for (std::size_t c = 0; c < escapes.size(); ++c) {
        SCOPED_TRACE(c);
        const std::string text = std::string("a") + static_cast<char>(c) + "z";
        const auto written = capture([&](int fd) { return writeJSON({{"c", text}}, fd); });
        EXPECT_EQ(written.status, 0);
        EXPECT_EQ(written.writes, (std::vector<std::string>{std::string("{\"c\":\"a") + escapes[c] + "z\"}", "\n"}));
    }
}

TEST(WriteJSON, TextThatIsNotUtf8BecomesTheErrorDocumentAlone) {
    const std::vector<std::string> malformed = {
        "\x80",              // continuation without a lead
        "\xbf",
        "\xc0\x80",          // overlong forms
        "\xc1\xbf",
        "\xe0\x80\x80",
        "\xe0\x9f\xbf",
        "\xf0\x80\x80\x80",
        "\xf0\x8f\xbf\xbf",
        "\xed\xa0\x80",      // surrogates
        "\xed\xbf\xbf",
        "\xf4\x90\x80\x80",  // beyond U+10FFFF
        "\xf5\x80\x80\x80",
        "\xff",
        "\xfe",
        "\xc3",              // cut short, at the end and before other text
        "\xe2\x82",
        "\xf0\x9f\x98",
        "\xc3" "A",
        "\xe2\x82" "A",
        "\xe2" "\xc3\xa4",
    };
    for (const auto& bad : malformed) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        for (const JsonObject& document :
             {JsonObject{{"a", "ok"}, {"b", "x" + bad}}, JsonObject{{bad, "v"}},
              JsonObject{{"certificates", JsonList{{{"s", "fine"}}, {{"s", bad}}}}},
              JsonObject{{"o", JsonObject{{"k", bad}}}}}) {
            const auto written = capture([&](int fd) { return writeJSON(document, fd); });
            EXPECT_EQ(written.status, 2);
            EXPECT_EQ(written.writes, unserialisable);
        }
    }
}

TEST(Fail, WritesTheErrorDocument) {
    const auto written = capture([](int fd) { return fail("Bilinmeyen işlem", fd); });
    EXPECT_EQ(written.status, 2);
    EXPECT_EQ(written.writes, (std::vector<std::string>{"{\"error\":\"Bilinmeyen işlem\"}", "\n"}));

    const auto escaped = capture([](int fd) { return fail("Kütüphane yüklenemedi: /a\"b\n", fd); });
    EXPECT_EQ(escaped.writes,
              (std::vector<std::string>{"{\"error\":\"Kütüphane yüklenemedi: \\/a\\\"b\\n\"}", "\n"}));
}

TEST(Fail, AMessageThatIsNotUtf8IsReplaced) {
    const auto written = capture([](int fd) { return fail("Kütüphane yüklenemedi: /opt/\xff.so", fd); });
    EXPECT_EQ(written.status, 2);
    EXPECT_EQ(written.writes, unserialisable);
}

// The answers written from a signal handler are rendered at compile time; they
// must be exactly what the writer makes of the same message.
TEST(EmergencyAnswer, IsTheErrorDocumentOfItsMessage) {
    static constexpr platform::EmergencyAnswer storeNotResponding{messages::store::notResponding};
    struct Case {
        const platform::EmergencyAnswer& answer;
        const char* message;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {moduleCrashedAnswer, messages::card::moduleCrashed, "{\"error\":\"AKİS PKCS#11 modülü çöktü\"}\n"},
        {moduleNotRespondingAnswer, messages::card::notResponding, "{\"error\":\"AKİS kartı yanıt vermiyor\"}\n"},
        {storeNotResponding, messages::store::notResponding, "{\"error\":\"Sertifika deposu yanıt vermiyor\"}\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::string(c.answer.data(), c.answer.size()), c.expected);
        EXPECT_EQ(*serializeJSON({{"error", c.message}}) + "\n", c.expected);
    }
}

}  // namespace
}  // namespace tarvo
