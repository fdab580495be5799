#include "certificate/SerialNumber.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

namespace tarvo::test {
namespace {

Bytes hexBytes(const std::string& text) {
    std::istringstream in(text);
    Bytes bytes;
    unsigned value = 0;
    while (in >> std::hex >> value) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

struct SerialCase {
    const char* what;
    const char* der;
    std::optional<std::string> expected;
};

const SerialCase serialCases[] = {
    {"after the version element", "30 82 01 00 30 82 00 F0 A0 03 02 01 02 02 03 01 A2 FF", "FFA201"},
    {"leading zero ends up last", "30 82 01 00 30 82 00 F0 A0 03 02 01 02 02 02 00 80", "8000"},
    {"long-form length", "30 82 01 00 30 82 00 F0 A0 03 02 01 02 02 81 03 0A 0B 0C", "0C0B0A"},
    {"four length bytes", "30 0F 30 0D 02 84 00 00 00 01 AA 00 00 00 00", "AA"},
    {"no version element", "30 0A 30 08 02 03 01 02 03", "030201"},
    {"version element in long form", "30 0D 30 0B A0 81 03 02 01 02 02 01 07", "07"},
    {"outer lengths claim too much", "30 84 FF FF FF FF 30 84 FF FF FF FF 02 01 07", "07"},
    {"content ends at the last byte", "30 07 30 05 02 03 0A 0B 0C", "0C0B0A"},
    {"negative serial", "30 0A 30 08 02 02 FF 7F 00 00 00", "7FFF"},
    {"indefinite length", "30 0A 30 08 02 80 01 02 03 00 00", std::nullopt},
    {"five length bytes", "30 0F 30 0D 02 85 00 00 00 00 01 AA 00 00 00", std::nullopt},
    {"length 0", "30 0A 30 08 02 00 01 02 03 00 00", std::nullopt},
    {"eight bytes", "30 06 30 04 02 01 05 00", std::nullopt},
    {"nine bytes", "30 06 30 04 02 01 05 00 00", "05"},
    {"empty", "", std::nullopt},
    {"first byte not a sequence", "31 0A 30 08 02 03 01 02 03", std::nullopt},
    {"inner part not a sequence", "30 0A 31 08 02 03 01 02 03", std::nullopt},
    {"no integer where the serial stands", "30 0A 30 08 04 03 01 02 03", std::nullopt},
    {"outer length bytes run past the end", "30 8A 30 08 02 03 01 02 03", std::nullopt},
    {"inner sequence tag is the last byte", "30 87 00 00 00 00 00 00 00 30", std::nullopt},
    {"inner length bytes run past the end", "30 07 30 87 02 03 01 02 03", std::nullopt},
    {"content one byte past the end", "30 07 30 05 02 04 0A 0B 0C", std::nullopt},
    {"content far past the end", "30 07 30 05 02 84 FF FF FF FF 0C", std::nullopt},
    {"long-form length bytes past the end", "30 07 30 05 02 84 01 02 03", std::nullopt},
    {"version element reaches the end", "30 07 30 05 A0 05 02 01 02", std::nullopt},
    {"version element of indefinite length", "30 0B 30 09 A0 80 02 01 02 00 00 02 01 07", std::nullopt},
    {"version element of five length bytes", "30 0F 30 0D A0 85 00 00 00 00 00 02 01 07 00", std::nullopt},
    {"version element tag is the last byte", "30 07 30 86 00 00 00 00 00 00 A0", std::nullopt},
    {"integer tag is the last byte", "30 08 30 06 A0 03 02 01 02 02", std::nullopt},
};

TEST(SerialNumber, WalksEachLayoutToItsSerialOrRefusesIt) {
    for (const auto& [what, der, expected] : serialCases) {
        // A buffer of exactly the input's size, so that the sanitizer build
        // reports any read past the last byte.
        const Bytes bytes = hexBytes(der);
        const auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), exact.get());
        EXPECT_EQ(serialNumber(ByteView(exact.get(), bytes.size())), expected) << what;
    }
}

TEST(SerialNumber, WritesLongSerialsLastByteFirst) {
    Bytes der = hexBytes("30 82 01 40 30 82 01 30 A0 03 02 01 02 02 82 01 2C");
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        der.push_back(static_cast<std::uint8_t>(i));
    }
    char pair[3];
    for (int i = 299; i >= 0; --i) {
        std::snprintf(pair, sizeof pair, "%02X", i & 0xFF);
        expected += pair;
    }
    EXPECT_EQ(serialNumber(der), expected);
    der.pop_back();
    EXPECT_EQ(serialNumber(der), std::nullopt);
}

}  // namespace
}  // namespace tarvo::test
