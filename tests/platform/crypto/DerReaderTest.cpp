#include "platform/crypto/DerReader.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

namespace tarvo::test {
namespace {

struct LengthCase {
    const char* what;
    Bytes octets;  // the length octets and whatever follows them
    std::optional<platform::DerLength> expected;
    bool walked;  // whether the strict walk takes an element of that length, content given
};

const LengthCase lengthCases[] = {
    {"short form", {0x05}, platform::DerLength{1, 5, true}, true},
    {"short form, zero", {0x00}, platform::DerLength{1, 0, true}, true},
    {"one octet", {0x81, 0x80}, platform::DerLength{2, 0x80, true}, true},
    {"one octet where the short form fits", {0x81, 0x7F}, platform::DerLength{2, 0x7F, false}, false},
    {"two octets", {0x82, 0x01, 0x00}, platform::DerLength{3, 0x100, true}, true},
    {"two octets, leading zero", {0x82, 0x00, 0x80}, platform::DerLength{3, 0x80, false}, false},
    {"three octets", {0x83, 0x01, 0x00, 0x00}, platform::DerLength{4, 0x10000, true}, true},
    {"four octets", {0x84, 0x01, 0x00, 0x00, 0x00}, platform::DerLength{5, 0x1000000, true}, false},
    {"four octets, leading zeros", {0x84, 0x00, 0x00, 0x00, 0x01}, platform::DerLength{5, 1, false}, false},
    {"indefinite", {0x80}, std::nullopt, false},
    {"five octets", {0x85, 0x00, 0x00, 0x00, 0x00, 0x01}, std::nullopt, false},
    {"octets past the end", {0x83, 0x01, 0x00}, std::nullopt, false},
};

// The lenient reading the serial walk takes, and what the strict walk makes of
// the same octets after a tag, with all of the content there and nothing after.
TEST(DerReader, ReadsLengthOctetsAndWalksOnlyMinimalOnes) {
    for (const auto& [what, octets, expected, walked] : lengthCases) {
        const auto length = platform::readDerLength(octets);
        EXPECT_EQ(length.has_value(), expected.has_value()) << what;
        if (length && expected) {
            EXPECT_EQ(std::tuple(length->octets, length->content, length->minimal),
                      std::tuple(expected->octets, expected->content, expected->minimal))
                << what;
        }

        Bytes element{platform::octetStringTag};
        element.insert(element.end(), octets.begin(), octets.end());
        // All of the content, where the walk could take the length at all.
        element.resize(element.size() + (length && length->octets <= 4 ? length->content : 0), 0xAB);
        platform::DerElements elements(element);
        platform::DerElement read;
        EXPECT_EQ(elements.next(read) && elements.atEnd(), walked) << what;
        if (walked) {
            EXPECT_EQ(read.tag, platform::octetStringTag) << what;
            EXPECT_EQ(read.content.size(), length->content) << what;
        }
    }
}

}  // namespace
}  // namespace tarvo::test
