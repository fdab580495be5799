#include "platform/crypto/Sha256.hpp"

#include "platform/crypto/OpenSslLibrary.hpp"
#include "platform/store/NssLibrary.hpp"

#include <limits>

namespace tarvo::platform {

namespace {

// Each library's digest; absent when that library cannot give it (NSS: not
// initialised; libcrypto: not installed).
std::optional<Sha256Digest> nssSha256(ByteView bytes) {
    const NssLibrary* library = initialisedNss();
    if (library == nullptr || bytes.size() > static_cast<std::size_t>(std::numeric_limits<PRInt32>::max())) {
        return std::nullopt;
    }
    Sha256Digest digest{};
    if (library->PK11_HashBuf(SEC_OID_SHA256, digest.data(), bytes.data(), static_cast<PRInt32>(bytes.size())) !=
        SECSuccess) {
        return std::nullopt;
    }
    return digest;
}

std::optional<Sha256Digest> openSslSha256(ByteView bytes) {
    const OpenSslLibrary* library = loadedOpenSsl();
    if (library == nullptr) {
        return std::nullopt;
    }
    Sha256Digest digest{};
    SHA256_CTX context;
    if (library->SHA256_Init(&context) != 1 || library->SHA256_Update(&context, bytes.data(), bytes.size()) != 1 ||
        library->SHA256_Final(digest.data(), &context) != 1) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace

std::optional<Sha256Digest> sha256(ByteView bytes) {
    if (auto digest = nssSha256(bytes)) {
        return digest;
    }
    return openSslSha256(bytes);
}

}  // namespace tarvo::platform
