#include "Sha256.hpp"

#include <openssl/evp.h>

namespace tarvo::platform {

Sha256Digest sha256(ByteView bytes) {
    Sha256Digest digest{};
    unsigned int length = 0;
    // SHA-256 over memory cannot fail short of the library being unusable; the
    // digest then stays all zeros, which matches no certificate.
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

}  // namespace tarvo::platform
