#include "certificate/DistinguishedName.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace tarvo {

namespace {

// The attribute types we show, and the only ones: anything else in a name is
// left out of its text.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> labels{{
    {"2.5.4.3", "CN"},
    {"2.5.4.6", "C"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "ST"},
    {"1.2.840.113549.1.9.1", "EMAILADDRESS"},
}};

std::string_view labelOf(std::string_view oid) {
    for (const auto& [type, label] : labels) {
        if (type == oid) {
            return label;
        }
    }
    return {};
}

// Only commas are escaped, because the components themselves are joined with
// commas; readers of this text expect the value otherwise exactly as issued.
std::string escapeCommas(std::string_view value) {
    std::string text;
    text.reserve(value.size());
    for (const char c : value) {
        if (c == ',') {
            text += '\\';
        }
        text += c;
    }
    return text;
}

}  // namespace

std::string distinguishedName(const platform::Name& name) {
    std::string text;
    for (const auto& relativeName : name) {
        for (const auto& attribute : relativeName) {
            const std::string_view label = labelOf(attribute.oid);
            if (label.empty()) {
                continue;
            }
            if (!text.empty()) {
                text += ", ";
            }
            text += label;
            text += '=';
            text += escapeCommas(attribute.value);
        }
    }
    return text;
}

}  // namespace tarvo
