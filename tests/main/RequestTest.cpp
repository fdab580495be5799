#include "main/Request.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using Text = std::optional<std::string>;

struct Decoded {
    Decoded(std::string action_, Text challenge_ = {}, Text fingerprint_ = {}, Text digestInfo_ = {},
            Text pin_ = {}, Text p11_ = {})
        : action(std::move(action_)), challenge(std::move(challenge_)), fingerprint(std::move(fingerprint_)),
          digestInfo(std::move(digestInfo_)), pin(std::move(pin_)), p11(std::move(p11_)) {}
    std::string action;
    Text challenge, fingerprint, digestInfo, pin, p11;
};

struct Case {
    std::string input;
    std::optional<Decoded> expected;  // absent: the request is refused
};

std::optional<Request> decode(const std::string& input) {
    return decodeRequest(ByteView(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
}

Text pinText(const Request& request) {
    if (!request.pin) return std::nullopt;
    return std::string(request.pin->view().begin(), request.pin->view().end());
}

void expectDecoded(const Case& c) {
    SCOPED_TRACE(::testing::PrintToString(c.input));
    const auto request = decode(c.input);
    ASSERT_EQ(request.has_value(), c.expected.has_value());
    if (!request) return;
    EXPECT_EQ(request->action, c.expected->action);
    EXPECT_EQ(request->challenge, c.expected->challenge);
    EXPECT_EQ(request->fingerprint, c.expected->fingerprint);
    EXPECT_EQ(request->digestInfo, c.expected->digestInfo);
    EXPECT_EQ(pinText(*request), c.expected->pin);
    EXPECT_EQ(request->p11, c.expected->p11);
}

const std::optional<Decoded> refused = std::nullopt;

TEST(DecodeRequest, RefusesWhatIsNotARequest) {
    const std::vector<std::string> inputs = {
        "",
        " \n",
        "list",
        "[\"list\"]",
        "[{\"action\":\"list\"}]",
        "\"list\"",
        "1",
        "null",
        "{}",
        "{\"action\":null}",
        "{\"action\":1}",
        "{\"action\":true}",
        "{\"action\":[\"list\"]}",
        "{\"action\":{\"name\":\"list\"}}",
        "{\"Action\":\"list\"}",
        "{\"action\":\"list\"",
        "{\"action\":\"list\",}",
        "{\"action\":\"list\"}x",
        "{\"action\":\"list\"}{}",
        "{\"action\":'list'}",
        "/* note */{\"action\":\"list\"}",
        "{\"action\":\"list\"} // note",
        // every occurrence of a known key must be acceptable, not only the last
        "{\"action\":\"list\",\"action\":null}",
        "{\"action\":null,\"action\":\"list\"}",
        "{\"action\":\"list\",\"pin\":1,\"pin\":\"1234\"}",
        // malformed UTF-8, in a known and in an unknown value, and in a key
        "{\"action\":\"\xff\"}",
        "{\"action\":\"\xc0\xaf\"}",
        "{\"action\":\"\xe0\x80\xaf\"}",
        "{\"action\":\"\xed\xa0\x80\"}",
        "{\"action\":\"\xf4\x90\x80\x80\"}",
        "{\"action\":\"\xc3\"}",
        "{\"action\":\"list\",\"note\":\"\xe2\x82\"}",
        "{\"action\":\"list\",\"\xff\":1}",
        "{\"action\":\"\\ud800\"}",
        "{\"action\":\"\\udc00x\"}",
        // a byte order mark only whole and only once
        "\xef\xbb{\"action\":\"list\"}",
        "\xef\xbb\xbf\xef\xbb\xbf{\"action\":\"list\"}",
        // a raw control character inside a string
        "{\"action\":\"li\nst\"}",
        // a NUL byte anywhere, also where the parser would stop reading
        std::string("{\"action\":\"list\"}\0", 18),
        std::string("{\"action\":\"list\"}\0{\"x\":1}", 25),
        std::string("{\"action\":\"li\0st\"}", 18),
        std::string("\0{\"action\":\"list\"}", 18),
        // a number too large for a double where no value may stand, or beside a fault
        "1e400",
        "{\"x\":1e400}",
        "[1e400,{\"action\":\"list\"}]",
        "{\"action\":\"list\",\"x\":1e400",
        "{\"action\":\"list\",\"x\":1e400}x",
        "{\"action\":\"list\",\"x\":1e400e5}",
        "{\"action\":\"list\",\"x\":1e400,\"y\":01}",
        "{\"action\":\"list\",\"x\":1e400,\"y\":1.}",
        "{\"action\":\"list\",\"x\":1e400,\"y\":-}",
        "{\"action\":\"list\",\"x\":1e400,\"y\":+1}",
        "{\"action\":\"list\",\"x\":1e400,\"pin\":\"\xff\"}",
    };
    for (const auto& input : inputs) {
        expectDecoded({input, refused});
    }
}

TEST(DecodeRequest, RefusesKnownKeysThatHoldNoText) {
    for (const std::string key : {"challenge", "fingerprint", "digestInfo", "pin", "p11"}) {
        for (const std::string value :
             {"0", "-1.5e3", "1e400", "-1E+400", "[1e400]", "true", "false", "[]", "[\"a\"]", "{}", "{\"a\":\"b\"}"}) {
            expectDecoded({"{\"action\":\"sign\",\"" + key + "\":" + value + "}", refused});
        }
    }
}

TEST(DecodeRequest, ReadsTheFields) {
    const std::vector<Case> cases = {
        {"{\"action\":\"list\"}", Decoded{"list"}},
        {"{\"action\":\"\"}", Decoded{""}},
        {"{\"action\":\"sign\",\"challenge\":\"AQID\",\"fingerprint\":\"ab\",\"digestInfo\":\"MDE=\","
         "\"pin\":\"1234\",\"p11\":\"/opt/lib.so\"}",
         Decoded{"sign", "AQID", "ab", "MDE=", "1234", "/opt/lib.so"}},
        // null is absent, "" stays empty
        {"{\"action\":\"sign\",\"challenge\":null,\"fingerprint\":null,\"digestInfo\":null,\"pin\":null,\"p11\":null}",
         Decoded{"sign"}},
        {"{\"action\":\"sign\",\"challenge\":\"\",\"fingerprint\":\"\",\"digestInfo\":\"\",\"pin\":\"\",\"p11\":\"\"}",
         Decoded{"sign", "", "", "", "", ""}},
        // other keys may hold anything, known names nested inside them included
        {"{\"x\":{\"pin\":5,\"action\":null},\"action\":\"list\",\"y\":[1,{\"challenge\":true},null,1.5],"
         "\"z\":false,\"n\":null,\"PIN\":7}",
         Decoded{"list"}},
        // a number too large for a double, under a key we ignore or nested in its value; digits
        // inside strings, escaped quotes and keys included, stay as they are
        {"{\"x\":1e400,\"action\":\"list\",\"y\":[-1E+999,{\"z\":1" + std::string(400, '0') + "}]}",
         Decoded{"list"}},
        {"{\"action\":\"udf-sign\",\"1e400\":1e400,\"pin\":\"1e400\",\"p11\":\"a\\\"1e400\\\\\",\"n\":1e-400}",
         Decoded{"udf-sign", {}, {}, {}, "1e400", "a\"1e400\\"}},
        // the last occurrence counts
        {"{\"action\":\"sign\",\"action\":\"list\"}", Decoded{"list"}},
        {"{\"action\":\"udf-sign\",\"pin\":\"1111\",\"pin\":\"2222\"}", Decoded{"udf-sign", {}, {}, {}, "2222"}},
        {"{\"action\":\"udf-sign\",\"pin\":\"1111\",\"pin\":null}", Decoded{"udf-sign"}},
        {"{\"action\":\"udf-sign\",\"pin\":null,\"pin\":\"3333\"}", Decoded{"udf-sign", {}, {}, {}, "3333"}},
        // escapes, non-ASCII text and an escaped NUL come through as text
        {"{\"action\":\"udf-cert\",\"p11\":\"\\/opt\\u00e7\\t\",\"fingerprint\":\"İ’—\"}",
         Decoded{"udf-cert", {}, "İ’—", {}, {}, "/opt\xc3\xa7\t"}},
        {"{\"action\":\"list\\u0000\",\"pin\":\"\\ud83d\\ude00\"}",
         Decoded{std::string("list\0", 5), {}, {}, {}, "\xf0\x9f\x98\x80"}},
        // a byte order mark, white space around the object
        {"\xef\xbb\xbf{\"action\":\"list\"}", Decoded{"list"}},
        {" \t\r\n{ \"action\" : \"list\" } \n\t\r ", Decoded{"list"}},
    };
    for (const auto& c : cases) {
        expectDecoded(c);
    }
}

}  // namespace
}  // namespace tarvo
