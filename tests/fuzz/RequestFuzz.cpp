// The request reader against a second reading of the same bytes: nlohmann's
// document parser, with the decoding rules applied to the finished values.

#include "FuzzCheck.hpp"
#include "main/Request.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::fuzz {
namespace {

using nlohmann::json;
using Text = std::optional<std::string>;

struct Fields {
    std::string action;
    std::array<Text, 5> optional;  // in the order of optionalKeys
};

constexpr std::array<std::string_view, 5> optionalKeys = {"challenge", "fingerprint", "digestInfo", "pin", "p11"};

// Accepts every event and remembers where the parser stopped at a number it
// cannot hold as a double: the error's position is the end of that token.
class HugeNumberFinder final : public nlohmann::json_sax<json> {
public:
    std::optional<std::pair<std::size_t, std::size_t>> found;  // first byte, length

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool key(string_t&) override { return true; }
    bool parse_error(std::size_t end, const std::string& token, const nlohmann::detail::exception& error) override {
        if (error.id == 406) {
            found.emplace(end - token.size(), token.size());
        }
        return false;
    }
};

// The rules, stated over values: one object; "action" a string; the other
// known keys null or a string at every occurrence, the last one counting;
// every other key ignored whatever it holds.
std::optional<Fields> referenceDecode(std::string text) {
    if (text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    // A number's value never matters, so each one the parser cannot hold is
    // replaced by 0 where the parser itself says it stands.
    for (;;) {
        HugeNumberFinder finder;
        if (json::sax_parse(text, &finder)) break;
        if (!finder.found) return std::nullopt;
        const auto [first, length] = *finder.found;
        text.replace(first, length, "0" + std::string(length - 1, ' '));
    }

    std::vector<std::pair<std::string, json>> members;
    const json document = json::parse(
        text,
        [&members](int depth, json::parse_event_t event, json& parsed) {
            if (depth == 1 && event == json::parse_event_t::key) {
                members.emplace_back(parsed.get<std::string>(), json());
            } else if (depth == 1 && !members.empty() && (event == json::parse_event_t::value || event == json::parse_event_t::object_end ||
                                      event == json::parse_event_t::array_end)) {
                members.back().second = parsed;
            }
            return true;
        },
        false);
    if (!document.is_object()) {
        return std::nullopt;
    }

    Fields fields;
    bool hasAction = false;
    for (const auto& [key, value] : members) {
        if (key == "action") {
            if (!value.is_string()) return std::nullopt;
            fields.action = value.get<std::string>();
            hasAction = true;
        }
        for (std::size_t i = 0; i < optionalKeys.size(); ++i) {
            if (key != optionalKeys[i]) continue;
            if (value.is_null()) {
                fields.optional[i].reset();
            } else if (value.is_string()) {
                fields.optional[i] = value.get<std::string>();
            } else {
                return std::nullopt;
            }
        }
    }
    if (!hasAction) {
        return std::nullopt;
    }
    return fields;
}

std::array<Text, 5> optionalFieldsOf(const Request& request) {
    Text pin;
    if (request.pin) pin = std::string(textOf(request.pin->view()));
    return {request.challenge, request.fingerprint, request.digestInfo, pin, request.p11};
}

}  // namespace
}  // namespace tarvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarvo::fuzz;
    const auto ours = tarvo::decodeRequest({data, size});
    const auto reference = referenceDecode(std::string(textOf({data, size})));
    FUZZ_EXPECT(ours.has_value() == reference.has_value());
    if (ours) {
        FUZZ_EXPECT(ours->action == reference->action);
        FUZZ_EXPECT(optionalFieldsOf(*ours) == reference->optional);
    }
    return 0;
}
