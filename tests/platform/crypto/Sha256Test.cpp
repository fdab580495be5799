#include "platform/crypto/Sha256.hpp"
#include "platform/store/Keychain.hpp"

#include "support/NssStore.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/StoreState.hpp"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::test {
namespace {

// Each length around the padding's edges (one block or two for the rest) and
// one of many blocks, against OpenSSL linked into this test. NSS gives the
// digest while the store is open, libcrypto loaded by the helper otherwise.
void expectDigestsAtEveryLength() {
    Bytes bytes(100'003);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    std::vector<std::size_t> lengths(130);
    std::iota(lengths.begin(), lengths.end(), std::size_t{0});
    lengths.push_back(bytes.size());
    for (const std::size_t length : lengths) {
        const ByteView part(bytes.data(), length);
        platform::Sha256Digest expected{};
        SHA256(part.data(), part.size(), expected.data());
        ASSERT_EQ(platform::sha256(part), expected) << length;
    }
}

TEST(Sha256, AgreesWithOpenSslAtEveryLengthWithTheStoreOpenAndClosed) {
    ASSERT_FALSE(certificateStoreIsRunning());
    expectDigestsAtEveryLength();
    {
        const NssStore store;
        ScopedEnvironment environment;
        environment.set("HOME", store.home().string());
        const platform::Keychain keychain = platform::Keychain::open();
        ASSERT_TRUE(certificateStoreIsRunning());
        expectDigestsAtEveryLength();
    }
    ASSERT_FALSE(certificateStoreIsRunning());
    expectDigestsAtEveryLength();
}

}  // namespace
}  // namespace tarvo::test
