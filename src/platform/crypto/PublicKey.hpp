#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <memory>

using EVP_PKEY = struct evp_pkey_st;

namespace tarvo::platform {

// A certificate's public key, held by counted reference; copies share it.
class PublicKey {
public:
    // Takes a reference of its own on the key.
    explicit PublicKey(EVP_PKEY* key);

    bool isRSA() const;

    // RSA PKCS#1 v1.5 with SHA-256 over a digest that is already computed (32 bytes).
    bool verifyRSASHA256Digest(ByteView digest, ByteView signature) const;
    // RSA PKCS#1 v1.5 with SHA-256 over a message, which is hashed here.
    bool verifyRSASHA256Message(ByteView message, ByteView signature) const;

    EVP_PKEY* native() const { return key_.get(); }

private:
    std::shared_ptr<EVP_PKEY> key_;
};

}  // namespace tarvo::platform
