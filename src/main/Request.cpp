#include "main/Request.hpp"

#include "main/NumberTokens.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
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
// own buffer the moment it has been taken. The request arrives wrapped (see
// wrappedForReading): a filler, the request object, a filler, in one array.
class RequestReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit RequestReader(Request& request) : request_(request) {}

    bool hasAction() const { return hasAction_; }
    bool stoppedAtHugeNumber() const { return stoppedAtHugeNumber_; }

    bool null() override {
        if (!isRequestMember()) return level() > 0;
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
        bool accepted = level() > 0;
        if (isRequestMember()) {
            accepted = take(value);
        } else if (level() == 0) {
            accepted = nextWrapperElement(WrapperElement::filler);
        }
        secureWipe(value.data(), value.size());
        return accepted;
    }

    bool start_object(std::size_t) override {
        return level() == 0 ? nextWrapperElement(WrapperElement::request) && enter() : enter();
    }
    bool start_array(std::size_t) override {
        if (depth_ == 0) {
            ++depth_;  // the wrapper
            return true;
        }
        return level() > 0 && enter();
    }
    bool end_object() override { return leave(); }
    bool end_array() override {
        // The wrapper closes after exactly its three elements: one request, no more.
        return level() == 0 ? nextWrapperElement(WrapperElement::end) && leave() : leave();
    }

    bool key(string_t& name) override {
        if (isRequestMember()) field_ = fieldNamed(name);
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

    enum class WrapperElement { filler, request, end };

    // 0 for the wrapper's elements, 1 for the request's members, deeper for
    // the values of unknown keys; -1 outside the wrapper.
    int level() const { return depth_ - 1; }

    // A value that belongs directly to the request object, not nested deeper.
    bool isRequestMember() const { return level() == 1; }

    // Numbers and booleans: fine anywhere inside an unknown key's value,
    // never as the value of a known key or as the whole request.
    bool acceptsOtherValue() const { return level() > 1 || (level() == 1 && field_ == Field::none); }

    // The wrapper holds a filler, the request, a filler, in this order; any
    // other element there is the caller's input that is not one object.
    bool nextWrapperElement(WrapperElement element) {
        static constexpr WrapperElement order[] = {WrapperElement::filler, WrapperElement::request,
                                                   WrapperElement::filler, WrapperElement::end};
        if (wrapperElements_ >= std::size(order) || order[wrapperElements_] != element) return false;
        ++wrapperElements_;
        return true;
    }

    bool enter() {
        if (isRequestMember() && field_ != Field::none) return false;
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
    std::size_t wrapperElements_ = 0;
    Field field_ = Field::none;
    bool hasAction_ = false;
    bool stoppedAtHugeNumber_ = false;
};

// The parser keeps a raw copy of each token beside the decoded one, in two
// buffers of its own that grow by reallocation and are freed unwiped. So the
// request is read as the middle element of an array between two strings of
// filler, each as long as the request: the first grows both buffers to their
// full size before any byte of the request is read, so that neither is ever
// reallocated while it holds one, and the last overwrites whatever the
// request's final token left in them. A byte order mark, which the parser
// skips only at the very start, is taken off first.
SecureBytes wrappedForReading(ByteView input) {
    static constexpr std::uint8_t byteOrderMark[] = {0xEF, 0xBB, 0xBF};
    if (input.size() >= std::size(byteOrderMark) && std::equal(std::begin(byteOrderMark), std::end(byteOrderMark),
                                                               input.begin())) {
        input = input.subspan(std::size(byteOrderMark));
    }
    const std::size_t length = input.size();
    SecureBytes text(3 * length + 8);
    std::uint8_t* out = text.data();
    const auto put = [&out](std::string_view part) {
        out = std::copy(part.begin(), part.end(), out);
    };
    const auto filler = [&out, length] { out = std::fill_n(out, length, std::uint8_t{'x'}); };
    put("[\"");
    filler();
    put("\",");
    out = std::copy(input.begin(), input.end(), out);
    put(",\"");
    filler();
    put("\"]");
    return text;
}

enum class Outcome { decoded, refused, hugeNumber };

Outcome readInto(Request& request, ByteView input) {
    RequestReader reader(request);
    const SecureBytes text = wrappedForReading(input);
    const auto* first = reinterpret_cast<const char*>(text.data());
    if (nlohmann::json::sax_parse(first, first + text.size(), &reader)) {
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
