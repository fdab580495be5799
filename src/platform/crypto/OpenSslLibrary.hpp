#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstddef>
#include <memory>

namespace tarvo::platform {

// OpenSSL's library is loaded when a request first needs it, not with the
// program: card signatures are verified with it, and certificates whose bytes
// only its full decoder can judge are read with it. Everything else (the
// store's signatures, the usual certificates, fingerprints taken while the
// store is open) does without, and loading the library would cost a store
// signature more than signing does.
#define TARVO_OPENSSL_FUNCTIONS(F)                                                                                   \
    F(ASN1_STRING_get0_data)                                                                                         \
    F(ASN1_STRING_length)                                                                                            \
    F(ASN1_STRING_to_UTF8)                                                                                           \
    F(ASN1_TIME_to_tm)                                                                                               \
    F(BIO_ctrl)                                                                                                      \
    F(BIO_free_all)                                                                                                  \
    F(BIO_new)                                                                                                       \
    F(BIO_s_mem)                                                                                                     \
    F(CRYPTO_free)                                                                                                   \
    F(ERR_clear_error)                                                                                               \
    F(EVP_DigestVerify)                                                                                              \
    F(EVP_DigestVerifyInit)                                                                                          \
    F(EVP_MD_CTX_free)                                                                                               \
    F(EVP_MD_CTX_new)                                                                                                \
    F(EVP_PKEY_CTX_free)                                                                                             \
    F(EVP_PKEY_CTX_new)                                                                                              \
    F(EVP_PKEY_CTX_set_rsa_padding)                                                                                  \
    F(EVP_PKEY_CTX_set_signature_md)                                                                                 \
    F(EVP_PKEY_free)                                                                                                 \
    F(EVP_PKEY_get_base_id)                                                                                          \
    F(EVP_PKEY_up_ref)                                                                                               \
    F(EVP_PKEY_verify)                                                                                               \
    F(EVP_PKEY_verify_init)                                                                                          \
    F(EVP_sha256)                                                                                                    \
    F(OBJ_obj2txt)                                                                                                   \
    F(X509_NAME_ENTRY_get_data)                                                                                      \
    F(X509_NAME_ENTRY_get_object)                                                                                    \
    F(X509_NAME_ENTRY_set)                                                                                           \
    F(X509_NAME_entry_count)                                                                                         \
    F(X509_NAME_get_entry)                                                                                           \
    F(X509_NAME_print_ex)                                                                                            \
    F(X509_free)                                                                                                     \
    F(X509_get0_notAfter)                                                                                            \
    F(X509_get0_notBefore)                                                                                           \
    F(X509_get0_pubkey)                                                                                              \
    F(X509_get_issuer_name)                                                                                          \
    F(X509_get_subject_name)                                                                                         \
    F(d2i_X509)

// The entry points we use, each with the type its header declares.
struct OpenSslLibrary {
#define TARVO_OPENSSL_ENTRY(name) decltype(&::name) name = nullptr;
    TARVO_OPENSSL_FUNCTIONS(TARVO_OPENSSL_ENTRY)
#undef TARVO_OPENSSL_ENTRY
    // The one-call SHA-256 routines, named by their types rather than their
    // (deprecated) declarations: the digest interfaces, and in OpenSSL 3 also
    // SHA256(), first build the library's provider context, which costs a
    // helper process several times what hashing its certificates does.
    int (*SHA256_Init)(SHA256_CTX*) = nullptr;
    int (*SHA256_Update)(SHA256_CTX*, const void*, std::size_t) = nullptr;
    int (*SHA256_Final)(unsigned char*, SHA256_CTX*) = nullptr;
};

// Loads the library on the first call and keeps it until the process ends.
// Null when it is not installed or lacks an entry point: then no certificate
// needs its full decoder and no key can be read, as if every such one were
// unreadable.
const OpenSslLibrary* loadedOpenSsl();

// For code that holds an object the library made (a decoded certificate, a
// key), which proves that the library is loaded.
inline const OpenSslLibrary& ssl() { return *loadedOpenSsl(); }

// Owns an object of the library through its own release function.
template <typename T, auto release>
struct OpenSslRelease {
    void operator()(T* object) const noexcept { (loadedOpenSsl()->*release)(object); }
};
template <typename T, auto release>
using OpenSslOwned = std::unique_ptr<T, OpenSslRelease<T, release>>;

}  // namespace tarvo::platform
