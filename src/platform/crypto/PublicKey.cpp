#include "platform/crypto/PublicKey.hpp"

#include "platform/crypto/OpenSslLibrary.hpp"

namespace tarvo::platform {

namespace {

constexpr std::size_t sha256DigestSize = 32;

// A refused signature leaves reasons on OpenSSL's error queue; they are not
// ours to report and must not be mistaken later for another call's failure.
bool settle(bool verified) {
    ssl().ERR_clear_error();
    return verified;
}

}  // namespace

PublicKey::PublicKey(EVP_PKEY* key) {
    if (key != nullptr && ssl().EVP_PKEY_up_ref(key) == 1) {
        key_.reset(key, ssl().EVP_PKEY_free);
    }
}

bool PublicKey::isRSA() const {
    // Only plain rsaEncryption keys: an RSA-PSS key may not sign PKCS#1 v1.5.
    return key_ != nullptr && ssl().EVP_PKEY_get_base_id(key_.get()) == EVP_PKEY_RSA;
}

bool PublicKey::verifyRSASHA256Digest(ByteView digest, ByteView signature) const {
    if (!isRSA() || digest.size() != sha256DigestSize) {
        return false;
    }
    const OpenSslOwned<EVP_PKEY_CTX, &OpenSslLibrary::EVP_PKEY_CTX_free> context(
        ssl().EVP_PKEY_CTX_new(key_.get(), nullptr));
    if (context == nullptr || ssl().EVP_PKEY_verify_init(context.get()) != 1 ||
        ssl().EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        ssl().EVP_PKEY_CTX_set_signature_md(context.get(), ssl().EVP_sha256()) != 1) {
        return settle(false);
    }
    return settle(ssl().EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(),
                                        digest.size()) == 1);
}

bool PublicKey::verifyRSASHA256Message(ByteView message, ByteView signature) const {
    if (!isRSA()) {
        return false;
    }
    const OpenSslOwned<EVP_MD_CTX, &OpenSslLibrary::EVP_MD_CTX_free> context(ssl().EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;  // owned by the digest context
    if (context == nullptr ||
        ssl().EVP_DigestVerifyInit(context.get(), &keyContext, ssl().EVP_sha256(), nullptr, key_.get()) != 1 ||
        ssl().EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1) {
        return settle(false);
    }
    return settle(ssl().EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                                         message.size()) == 1);
}

}  // namespace tarvo::platform
