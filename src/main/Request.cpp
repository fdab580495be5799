#include "main/Request.hpp"

#include "main/NumberTokens.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvo {

namespace {

enum class Field { none, action, challenge, fingerprint, digestInfo, pin, p11 };

Field fieldNamed(std::string_view key) {
    if (key == "action") return Field::action;
    if (key == "challenge") return Field::challenge;
    if (key == "fingerprint") return Field::fingerprint;
    if (key == "digestInfo") return Field::digestInfo;
    if (key == "pin") return Field::pin;
    if (key == "p11") return Field::p11;
    return Field::none;
}

// Streams the parser's events instead of building a document: values of
// unknown keys are never kept, and each string can be wiped in the parser's
// own buffer the moment it has been taken.
class RequestReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit RequestReader(Request& request) : request_(request) {}

    bool hasAction() const { return hasAction_; }
    bool stoppedAtHugeNumber() const { return stoppedAtHugeNumber_; }

    bool null() override {
        if (!isRequestMember()) return depth_ > 0;
        switch (field_) {
            case Field::none: return true;
            case Field::action: return false;
            case Field::challenge: request_.challenge.reset(); return true;
            case Field::fingerprint: request_.fingerprint.reset(); return true;
            case Field::digestInfo: request_.digestInfo.reset(); return true;
            case Field::pin: request_.pin.reset(); return true;
            case Field::p11: request_.p11.reset(); return true;
        }
        return false;
    }

    bool boolean(bool) override { return acceptsOtherValue(); }
    bool number_integer(number_integer_t) override { return acceptsOtherValue(); }
    bool number_unsigned(number_unsigned_t) override { return acceptsOtherValue(); }
    bool number_float(number_float_t, const string_t&) override { return acceptsOtherValue(); }
    bool binary(binary_t&) override { return false; }

    bool string(string_t& value) override {
        const bool accepted = isRequestMember() ? take(value) : depth_ > 0;
        secureWipe(value.data(), value.size());
        return accepted;
    }

    bool start_object(std::size_t) override { return enter(); }
    bool start_array(std::size_t) override { return depth_ > 0 && enter(); }
    bool end_object() override { return leave(); }
    bool end_array() override { return leave(); }

    bool key(string_t& name) override {
        if (depth_ == 1) field_ = fieldNamed(name);
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // The parser refuses a number beyond the range of a double before we
        // see it, so we cannot tell here whose value it is.
        stoppedAtHugeNumber_ = error.id == numberOverflow;
        return false;
    }

private:
    static constexpr int numberOverflow = 406;

    // A value that belongs directly to the request object, not nested deeper.
    bool isRequestMember() const { return depth_ == 1; }

    // Numbers and booleans: fine anywhere inside an unknown key's value,
    // never as the value of a known key or as the whole request.
    bool acceptsOtherValue() const { return depth_ > 1 || (depth_ == 1 && field_ == Field::none); }

    bool enter() {
        if (depth_ == 1 && field_ != Field::none) return false;
        ++depth_;
        return true;
    }

    bool leave() {
        --depth_;
        return true;
    }

    bool take(string_t& value) {
        switch (field_) {
            case Field::none: break;
            case Field::action: request_.action = value; hasAction_ = true; break;
            case Field::challenge: request_.challenge = value; break;
            case Field::fingerprint: request_.fingerprint = value; break;
            case Field::digestInfo: request_.digestInfo = value; break;
            case Field::pin: request_.pin.emplace(std::string_view(value)); break;
            case Field::p11: request_.p11 = value; break;
        }
        return true;
    }

    Request& request_;
    int depth_ = 0;
    Field field_ = Field::none;
    bool hasAction_ = false;
    bool stoppedAtHugeNumber_ = false;
};

enum class Outcome { decoded, refused, hugeNumber };

Outcome readInto(Request& request, ByteView input) {
    RequestReader reader(request);
    const auto* first = reinterpret_cast<const char*>(input.data());
    if (nlohmann::json::sax_parse(first, first + input.size(), &reader)) {
        return reader.hasAction() ? Outcome::decoded : Outcome::refused;
    }
    return reader.stoppedAtHugeNumber() ? Outcome::hugeNumber : Outcome::refused;
}

}  // namespace

std::optional<Request> decodeRequest(ByteView input) {
    // No JSON text holds a raw NUL byte, but the parser takes one as the end of
    // its input and would accept whatever follows it unseen.
    if (std::find(input.begin(), input.end(), std::uint8_t{0}) != input.end()) {
        return std::nullopt;
    }
    Request request;
    Outcome outcome = readInto(request, input);
    if (outcome == Outcome::hugeNumber) {
        // Everything before the number was read without fault. No value of a
        // number changes the outcome, so read again with every number made 0:
        // one under a key we ignore is then served, one under a known key is
        // refused as any number there is.
        request = Request{};
        outcome = readInto(request, withNumbersZeroed(input).view());
    }
    if (outcome != Outcome::decoded) {
        return std::nullopt;
    }
    return request;
}

}  // namespace tarvo
