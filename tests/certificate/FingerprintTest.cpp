#include "certificate/Fingerprint.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarvo {
namespace {

TEST(SameFingerprint, IgnoresOnlyAsciiLetterCase) {
    const struct {
        std::string a, b;
        bool same;
    } cases[] = {{"0a1b2c", "0A1B2C", true}, {"0a1b2c", "0a1b2c", true}, {"", "", true},
                 {"0a1b2c", "0a1b2d", false}, {"0a1b2c", "0a1b2c0", false}, {"0a1b2c", "0a1b2", false},
                 {"ä", "Ä", false},            {"@", "`", false},           {"[", "{", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(sameFingerprint(c.a, c.b), c.same) << c.a << " / " << c.b;
        EXPECT_EQ(sameFingerprint(c.b, c.a), c.same) << c.b << " / " << c.a;
    }
}

}  // namespace
}  // namespace tarvo
