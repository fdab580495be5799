#include "platform/Sha256.hpp"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <numeric>
#include <string>
#include <vector>

namespace tarvo::test {
namespace {

std::string hex(const platform::Sha256Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

TEST(Sha256, MatchesTheStandardVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& [message, digest] : vectors) {
        const Bytes bytes(message.begin(), message.end());
        EXPECT_EQ(hex(platform::sha256(bytes)), digest) << message;
    }
}

// Every length around the padding's edges (one block or two for the rest),
// and many blocks, both with the processor's extensions (where it has them)
// and without.
TEST(Sha256, AgreesWithOpenSslAtEveryLengthWithAndWithoutTheProcessorsExtensions) {
    Bytes bytes(100'003);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    std::vector<std::size_t> lengths(300);
    std::iota(lengths.begin(), lengths.end(), std::size_t{0});
    lengths.push_back(bytes.size());
    for (const std::size_t length : lengths) {
        const ByteView part(bytes.data(), length);
        platform::Sha256Digest expected{};
        SHA256(part.data(), part.size(), expected.data());
        ASSERT_EQ(platform::sha256(part), expected) << length;
        ASSERT_EQ(platform::detail::portableSha256(part), expected) << length;
    }
}

}  // namespace
}  // namespace tarvo::test
