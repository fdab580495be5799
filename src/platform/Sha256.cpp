// The one-call SHA-256 routine itself; the digest interfaces (EVP_Digest,
// and in OpenSSL 3 also SHA256()) first build the library's provider context,
// which costs a helper process several times what hashing its certificates
// does. The routine below is the same implementation without that set-up.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "Sha256.hpp"

#include <openssl/sha.h>

namespace tarvo::platform {

Sha256Digest sha256(ByteView bytes) {
    Sha256Digest digest{};
    SHA256_CTX context;
    // Hashing memory cannot fail short of the library being unusable; the
    // digest then stays all zeros, which matches no certificate.
    if (SHA256_Init(&context) == 1 && SHA256_Update(&context, bytes.data(), bytes.size()) == 1) {
        SHA256_Final(digest.data(), &context);
    }
    return digest;
}

}  // namespace tarvo::platform
