#include "card/CardSigner.hpp"

#include <algorithm>

namespace tarvo {

namespace {

// Far beyond any RSA modulus a card holds; a larger answer is not believed.
constexpr CK_ULONG largestSignature = 16384;

}  // namespace

Bytes signOnCard(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, ByteView data,
                 FailureTexts texts) {
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    require(texts, CardCall::signInit, pkcs11.C_SignInit(session, &mechanism, key));
    // The interface takes the data through a non-const pointer.
    Bytes input(data.begin(), data.end());
    CK_ULONG length = 0;
    const CK_RV rv = pkcs11.C_Sign(session, input.data(), input.size(), nullptr, &length);
    if (!succeeded(CardCall::signatureLength, rv) || length == 0 || length > largestSignature) {
        // An unbelievable length comes with CKR_OK, so the text reads 0x0.
        fail(texts, {CardCall::signatureLength, FailureKind::other, rv});
    }
    Bytes signature(length, 0);
    CK_ULONG written = length;
    require(texts, CardCall::sign, pkcs11.C_Sign(session, input.data(), input.size(), signature.data(), &written));
    signature.resize(std::min(written, length));
    return signature;
}

}  // namespace tarvo
