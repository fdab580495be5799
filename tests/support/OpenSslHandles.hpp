#pragma once

// Owning handles for the OpenSSL objects that the tests make with libcrypto
// linked in (certificate minting, reference signatures), so that every early
// return frees what was made before it. The helper itself loads the library
// when it needs it and owns its objects through OpenSslLibrary.hpp.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>

namespace tarvo::test {

template <auto Free>
struct OpenSslDeleter {
    template <typename T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};

using UniqueX509 = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using UniqueX509Name = std::unique_ptr<X509_NAME, OpenSslDeleter<X509_NAME_free>>;
using UniqueEvpKey = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using UniqueEvpKeyContext = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX_free>>;
using UniqueEvpDigestContext = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>>;
using UniqueAsn1Object = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT_free>>;
using UniqueAsn1Integer = std::unique_ptr<ASN1_INTEGER, OpenSslDeleter<ASN1_INTEGER_free>>;
using UniqueBio = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;

// Text that OpenSSL allocated (ASN1_STRING_to_UTF8 and friends).
struct OpenSslTextDeleter {
    void operator()(unsigned char* text) const noexcept { OPENSSL_free(text); }
};
using UniqueOpenSslText = std::unique_ptr<unsigned char, OpenSslTextDeleter>;

}  // namespace tarvo::test
